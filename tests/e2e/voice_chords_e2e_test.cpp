// `--voice-chords` end to end: the real binary on a private X server, fed
// real key and button events through XTest.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include "e2e/helper_process.h"
#include "support/fake_input.h"
#include "support/private_x_server.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::PrivateXServer;
using testing::RunningHelper;

json voiceChord(std::vector<std::string> modifiers) {
  return {{"type", "voiceChord"}, {"modifiers", modifiers}};
}

class VoiceChordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = PrivateXServer::start();
    helper_.emplace(std::vector<std::string>{"--voice-chords"},
                    testing::EnvironmentChanges{{"DISPLAY", server_->display()}});
    const std::optional<json> first = helper_->nextEvent(10s);
    ASSERT_TRUE(first);
    ASSERT_EQ(*first, json::parse(R"({"type":"ready"})"));
    input_.emplace(server_->display());
  }

  void TearDown() override {
    if (!helper_) return;
    EXPECT_EQ(helper_->standardError(), "");
    EXPECT_EQ(testing::eventSchemaProblems(helper_->output()), "");
  }

  std::unique_ptr<PrivateXServer> server_;
  std::optional<RunningHelper> helper_;
  std::optional<testing::FakeInput> input_;
};

TEST_F(VoiceChordsTest, EachChordIsOneEventInCanonicalOrder) {
  input_->press(XK_Control_R);
  input_->press(XK_Control_L);
  input_->release(XK_Control_R);
  input_->release(XK_Control_L);
  EXPECT_EQ(helper_->nextEvent(5s), voiceChord({"left-ctrl", "right-ctrl"}));

  input_->press(XK_Super_L);
  input_->press(XK_Shift_R);
  input_->release(XK_Shift_R);
  input_->release(XK_Super_L);
  EXPECT_EQ(helper_->nextEvent(5s), voiceChord({"right-shift", "left-cmd"}));

  input_->press(XK_Alt_R);
  input_->press(XK_Alt_L);
  input_->release(XK_Alt_L);
  input_->release(XK_Alt_R);
  EXPECT_EQ(helper_->nextEvent(5s), voiceChord({"left-alt", "right-alt"}));
}

TEST_F(VoiceChordsTest, AKeyPressAClickOrAScrollInsideAChordCancelsIt) {
  input_->press(XK_Shift_L);
  input_->type(XK_a);
  input_->release(XK_Shift_L);
  input_->press(XK_Super_L);
  input_->click(1);
  input_->release(XK_Super_L);
  input_->press(XK_Control_L);
  input_->click(4);  // the wheel
  input_->release(XK_Control_L);
  // The next event is the chord after them: the cancelled ones sent nothing.
  input_->press(XK_Shift_L);
  input_->release(XK_Shift_L);
  EXPECT_EQ(helper_->nextEvent(5s), voiceChord({"left-shift"}));
}

TEST_F(VoiceChordsTest, KeysAndClicksWithoutAModifierChangeNothing) {
  input_->type(XK_a);
  input_->click(1);
  input_->type(XK_Return);
  input_->press(XK_Super_R);
  input_->release(XK_Super_R);
  EXPECT_EQ(helper_->nextEvent(5s), voiceChord({"right-cmd"}));
}

TEST(VoiceChordsWithoutDisplayTest, ReportsTheMissingPermissionAndKeepsRunning) {
  RunningHelper helper({"--voice-chords"}, {{"DISPLAY", std::nullopt}});
  const std::optional<json> first = helper.nextEvent(10s);
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["type"], "error");
  EXPECT_EQ((*first)["code"], "input-monitoring-required");
  EXPECT_EQ((*first)["message"],
            "Input Monitoring permission is required to watch modifier-key shortcuts.");
  EXPECT_FALSE(first->contains("id"));

  // Still running, and silent: the retries report nothing new.
  EXPECT_FALSE(helper.nextEvent(6s));
  EXPECT_FALSE(helper.process().hasExited());
  EXPECT_EQ(helper.standardError(), "");
  EXPECT_EQ(testing::eventSchemaProblems(helper.output()), "");
}

}  // namespace
}  // namespace glimra
