#include "listeners/key_listener.h"

#include <gtest/gtest.h>

#include "fakes/captured_streams.h"
#include "fakes/fake_key_event_tap.h"
#include "fakes/fake_permission_service.h"
#include "fakes/virtual_runtime.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::CapturedStreams;
using testing::FakeKeyEventTapFactory;
using testing::FakePermissionService;
using testing::PermissionScript;
using testing::TapScript;
using testing::VirtualRuntime;

constexpr KeyEventMask kMask = maskOf(key_event_types::kFlagsChanged);
const KeyEvent kDisabledByTimeout{key_event_types::kTapDisabledByTimeout, 0, 0};
const KeyEvent kDisabledByUserInput{key_event_types::kTapDisabledByUserInput, 0, 0};

// A voice chord listener on fakes and the virtual clock, with a detector
// that records what reaches it.
class KeyListenerTest : public ::testing::Test {
 protected:
  KeyListenerTest()
      : permissions_(permissionScript_), taps_(tapScript_), emitter_(streams_.outputFd(),
                                                                    streams_.diagnosticFd()) {
    permissionScript_->listenPreflight = true;
    listener_ = KeyListener::create(
        {.listener = failures::Listener::voiceChord,
         .mask = kMask,
         .handleEvent = [this](const KeyEvent& event) { detected_.push_back(event); },
         .resetDetection = [this] { ++resets_; }},
        emitter_, runtime_.mainLoop(), permissions_, taps_);
  }

  int installAttempts() const {
    return static_cast<int>(std::count(permissionScript_->calls.begin(),
                                       permissionScript_->calls.end(), "preflightListen"));
  }

  std::vector<json> events() { return streams_.events(); }

  std::shared_ptr<PermissionScript> permissionScript_ = std::make_shared<PermissionScript>();
  std::shared_ptr<TapScript> tapScript_ = std::make_shared<TapScript>();
  FakePermissionService permissions_;
  FakeKeyEventTapFactory taps_;
  VirtualRuntime runtime_;
  CapturedStreams streams_;
  NDJSONEmitter emitter_;
  std::vector<KeyEvent> detected_;
  int resets_ = 0;
  std::shared_ptr<KeyListener> listener_;
};

TEST_F(KeyListenerTest, GrantedAtStartSendsReadyWithoutATimer) {
  listener_->start();
  EXPECT_TRUE(listener_->isInstalled());
  EXPECT_FALSE(listener_->isRetrying());
  EXPECT_EQ(tapScript_->lastMask, kMask);
  EXPECT_EQ(tapScript_->attachCalls, 1);
  EXPECT_EQ(tapScript_->enableCalls, 1);

  runtime_.advanceBy(60s);
  EXPECT_EQ(installAttempts(), 1);
  EXPECT_EQ(events(), std::vector<json>{json::parse(R"({"type":"ready"})")});
}

TEST_F(KeyListenerTest, MissingPermissionIsReportedOnceAndRetriedEveryFiveSeconds) {
  permissionScript_->listenPreflight = false;
  listener_->start();
  EXPECT_TRUE(listener_->isRetrying());
  runtime_.advanceBy(4999ms);
  EXPECT_EQ(installAttempts(), 1);
  runtime_.advanceBy(1ms);
  EXPECT_EQ(installAttempts(), 2);
  runtime_.advanceBy(10min);
  EXPECT_EQ(installAttempts(), 2 + 120);
  EXPECT_EQ(tapScript_->createCalls, 0);

  const std::vector<json> sent = events();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["code"], "input-monitoring-required");
  EXPECT_EQ(sent[0]["message"],
            "Input Monitoring permission is required to watch modifier-key shortcuts.");
  EXPECT_FALSE(sent[0].contains("id"));
}

TEST_F(KeyListenerTest, PermissionGrantedAfterTwelveSecondsIsReadyAtFifteen) {
  permissionScript_->listenPreflight = false;
  listener_->start();
  runtime_.advanceBy(12s);
  permissionScript_->listenPreflight = true;
  runtime_.advanceBy(2999ms);
  EXPECT_FALSE(listener_->isInstalled());
  runtime_.advanceBy(1ms);
  EXPECT_TRUE(listener_->isInstalled());
  EXPECT_FALSE(listener_->isRetrying());
  EXPECT_EQ(installAttempts(), 4);  // at 0, 5, 10 and 15 seconds

  runtime_.advanceBy(1min);
  EXPECT_EQ(installAttempts(), 4);
  const std::vector<json> sent = events();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0]["code"], "input-monitoring-required");
  EXPECT_EQ(sent[1], json::parse(R"({"type":"ready"})"));
}

TEST_F(KeyListenerTest, EachChangeOfFailureCodeIsReportedOnce) {
  struct Attempt {
    bool permitted;
    bool created;
    bool attached;
  };
  // One install attempt per five seconds: at start, then each firing.
  const Attempt attempts[] = {
      {false, true, true},   // input monitoring: reported
      {false, true, true},   // same code: silent
      {true, false, true},   // creation failed: reported
      {true, true, false},   // attach failed, same code: silent
      {false, true, true},   // input monitoring again: reported
      {true, true, false},   // attach failed: reported with its own message
      {true, true, true},    // installed: ready
  };
  for (std::size_t index = 0; index < std::size(attempts); ++index) {
    permissionScript_->listenPreflight = attempts[index].permitted;
    tapScript_->createSucceeds = attempts[index].created;
    tapScript_->attachSucceeds = attempts[index].attached;
    if (index == 0) {
      listener_->start();
    } else {
      runtime_.advanceBy(5s);
    }
    // A tap that could not be attached is released before the next try.
    EXPECT_EQ(tapScript_->tapsAlive, listener_->isInstalled() ? 1 : 0) << index;
  }

  std::vector<std::pair<std::string, std::string>> sent;
  for (const json& event : events()) {
    sent.emplace_back(event["type"], event.value("message", ""));
  }
  EXPECT_EQ(sent, (std::vector<std::pair<std::string, std::string>>{
                      {"error", "Input Monitoring permission is required to watch modifier-key "
                                "shortcuts."},
                      {"error", "macOS could not create the passive voice chord listener."},
                      {"error", "Input Monitoring permission is required to watch modifier-key "
                                "shortcuts."},
                      {"error", "macOS could not attach the voice chord listener to the run loop."},
                      {"ready", ""},
                  }));
}

TEST_F(KeyListenerTest, EventsReachTheDetectorOnceInstalled) {
  listener_->start();
  const KeyEvent press{key_event_types::kFlagsChanged, key_codes::kLeftShift, key_flags::kShift};
  tapScript_->deliver(press);
  EXPECT_EQ(detected_, std::vector<KeyEvent>{press});

  // The tap's callback holds the listener weakly.
  listener_.reset();
  tapScript_->deliver(press);
  EXPECT_EQ(detected_.size(), 1u);
}

TEST_F(KeyListenerTest, EveryDisabledNotificationResetsReenablesAndReports) {
  listener_->start();
  tapScript_->deliver(kDisabledByTimeout);
  tapScript_->deliver(kDisabledByUserInput);
  EXPECT_EQ(resets_, 2);
  EXPECT_TRUE(detected_.empty());
  EXPECT_EQ(tapScript_->enableCalls, 3);
  EXPECT_EQ(tapScript_->createCalls, 1);

  const std::vector<json> sent = events();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0]["type"], "ready");
  for (int index : {1, 2}) {
    EXPECT_EQ(sent[index]["code"], "event_tap_disabled");
    EXPECT_EQ(sent[index]["message"],
              "macOS disabled the voice chord listener; the helper re-enabled it.");
    EXPECT_TRUE(sent[index].contains("capturedAt"));
  }
}

TEST_F(KeyListenerTest, StartingAgainAfterInstallSendsNothing) {
  listener_->start();
  listener_->start();
  EXPECT_EQ(tapScript_->createCalls, 1);
  EXPECT_EQ(events().size(), 1u);
}

TEST_F(KeyListenerTest, CallbacksOutlivingTheListenerDoNothing) {
  permissionScript_->listenPreflight = false;
  listener_->start();
  permissionScript_->listenPreflight = true;
  listener_.reset();  // its retry timer goes with it
  runtime_.advanceBy(10s);
  EXPECT_EQ(installAttempts(), 1);
}

}  // namespace
}  // namespace glimra
