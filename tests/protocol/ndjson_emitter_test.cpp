#include "protocol/ndjson_emitter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <set>
#include <thread>

#include "fakes/captured_streams.h"

namespace glimra {
namespace {

using nlohmann::json;
using testing::CapturedStreams;

const std::string kDiagnosticLine =
    "[nimbal-glimra-helper] Could not encode helper protocol event.\n";

TEST(EncodeEventLineTest, WritesOneCompactLineWithEscapedSlashes) {
  const Event event{{"type", "captured"},
                    {"path", "/tmp/a b/glimra-1.png"},
                    {"note", "line one\nline two \"quoted\" \\ tab\t"},
                    {"list", {"x/y", "é"}}};
  const std::optional<std::string> line = encodeEventLine(event);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, R"({"type":"captured","path":"\/tmp\/a b\/glimra-1.png",)"
                   R"("note":"line one\nline two \"quoted\" \\ tab\t","list":["x\/y","é"]})"
                   "\n");
  // A standard parser reads the escaped slashes back as plain ones.
  const json parsed = json::parse(*line);
  EXPECT_EQ(parsed["path"], "/tmp/a b/glimra-1.png");
  EXPECT_EQ(parsed["list"][0], "x/y");
}

TEST(EncodeEventLineTest, RejectsWhatCannotBeEncoded) {
  EXPECT_FALSE(encodeEventLine(Event{{"type", "error"}, {"message", "bad \xC3\x28 byte"}}));
  EXPECT_FALSE(encodeEventLine(Event{{"type", "x"}, {"list", {"ok", "\xED\xA0\x80"}}}));
  EXPECT_FALSE(encodeEventLine(Event::array({"type"})));
}

TEST(NDJSONEmitterTest, AnEventThatCannotBeEncodedBecomesTheDiagnosticLine) {
  CapturedStreams streams;
  NDJSONEmitter emitter(streams.outputFd(), streams.diagnosticFd());
  emitter.emit({{"type", "ready"}, {"title", "\xFF"}});
  EXPECT_EQ(streams.output(), "");
  EXPECT_EQ(streams.diagnostics(), kDiagnosticLine);
}

TEST(NDJSONEmitterTest, BuildersWriteTheirLayouts) {
  CapturedStreams streams;
  NDJSONEmitter emitter(streams.outputFd(), streams.diagnosticFd());
  emitter.emitPermissions(true, false);
  emitter.emitError({"capture_timed_out", "Timed out."}, "2026-01-02T03:04:05.006Z",
                    std::string("5d0c4a3e-0000-4000-8000-000000000000"));
  emitter.emitError({"invalid_arguments", "Bad."}, "2026-01-02T03:04:05.006Z");
  emitter.emitError({"capture_in_progress", "Busy."}, "t", std::string(""));
  emitter.emitTriggered("id-1", "2026-01-02T03:04:05.006Z");

  const std::vector<json> events = streams.events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0], json::parse(R"({"type":"permissions","inputMonitoring":"granted",
                                       "screenRecording":"denied"})"));
  EXPECT_EQ(events[1], json::parse(R"({"type":"error","code":"capture_timed_out",
      "message":"Timed out.","capturedAt":"2026-01-02T03:04:05.006Z",
      "id":"5d0c4a3e-0000-4000-8000-000000000000"})"));
  EXPECT_EQ(events[2], json::parse(R"({"type":"error","code":"invalid_arguments",
      "message":"Bad.","capturedAt":"2026-01-02T03:04:05.006Z"})"));
  // A present id is written whatever its content.
  EXPECT_EQ(events[3]["id"], "");
  EXPECT_EQ(events[4], json::parse(R"({"type":"triggered","id":"id-1",
                                       "capturedAt":"2026-01-02T03:04:05.006Z"})"));
  EXPECT_EQ(streams.diagnostics(), "");
}

TEST(NDJSONEmitterTest, FocusedTextTargetLeavesOutAbsentAndEmptyStrings) {
  CapturedStreams streams;
  NDJSONEmitter emitter(streams.outputFd(), streams.diagnosticFd());
  emitter.emitFocusedTextTarget({.trusted = true,
                                 .editable = std::nullopt,
                                 .role = std::nullopt,
                                 .subrole = "AXSearchField",
                                 .appName = "",
                                 .bundleIdentifier = "org.example.Editor",
                                 .reason = "focus_not_editable"});
  emitter.emitFocusedTextTarget({.trusted = true,
                                 .editable = false,
                                 .role = "AXTextField",
                                 .subrole = "",
                                 .appName = "Editor",
                                 .bundleIdentifier = std::nullopt,
                                 .reason = std::nullopt});

  const std::vector<json> events = streams.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], json::parse(R"({"type":"focusedTextTarget","trusted":true,
      "editable":null,"subrole":"AXSearchField","bundleId":"org.example.Editor",
      "reason":"focus_not_editable"})"));
  EXPECT_EQ(events[1], json::parse(R"({"type":"focusedTextTarget","trusted":true,
      "editable":false,"role":"AXTextField","appName":"Editor"})"));
}

TEST(NDJSONEmitterTest, AClosedReaderDoesNotStopTheWriter) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  // The process ignores SIGPIPE; the test runner must not die of it either.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  NDJSONEmitter emitter(fds[1], fds[1]);
  emitter.emitPermissions(true, true);
  emitter.emit({{"type", "\xFF"}});
  std::signal(SIGPIPE, previous);
  ::close(fds[1]);
}

// A line many times the pipe's size goes out whole when write(2) returns
// early: interrupted by signals on a blocking pipe, or full on a
// non-blocking one.
class InterruptedWriteTest : public ::testing::TestWithParam<bool> {};

TEST_P(InterruptedWriteTest, WritesTheWholeLine) {
  const bool nonBlocking = GetParam();
  struct sigaction interrupt {};
  interrupt.sa_handler = [](int) {};
  sigemptyset(&interrupt.sa_mask);
  interrupt.sa_flags = 0;  // no SA_RESTART: a blocked write returns early
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &previous), 0);

  CapturedStreams streams;
  if (nonBlocking) ::fcntl(streams.outputFd(), F_SETFL, O_NONBLOCK);
  NDJSONEmitter emitter(streams.outputFd(), streams.diagnosticFd());
  const std::string payload(4 << 20, 'x');

  std::atomic<bool> done = false;
  std::thread writer([&] {
    emitter.emit({{"type", "ready"}, {"payload", payload}});
    done = true;
  });
  const pthread_t writerHandle = writer.native_handle();
  while (!done) {
    ::pthread_kill(writerHandle, SIGUSR1);
    std::this_thread::yield();
  }
  writer.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  const std::vector<json> events = streams.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["payload"], payload);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, InterruptedWriteTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NonBlocking" : "Blocking"; });

// Lines far longer than the pipe's atomic size, from many threads at once,
// must still arrive whole and one per line.
TEST(NDJSONEmitterTest, ConcurrentEmittersNeverShareOrSplitALine) {
  constexpr int kThreads = 8;
  constexpr int kEventsPerThread = 200;
  CapturedStreams streams;
  NDJSONEmitter emitter(streams.outputFd(), streams.diagnosticFd());

  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&emitter, thread] {
      const std::string padding(thread * 3000 + 10, static_cast<char>('a' + thread));
      for (int index = 0; index < kEventsPerThread; ++index) {
        emitter.emit({{"type", "voiceChord"},
                      {"thread", std::to_string(thread)},
                      {"index", std::to_string(index)},
                      {"padding", padding}});
        if (index % 50 == 0) emitter.emit({{"type", "\xFF"}});  // a diagnostic now and then
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::pair<int, int>> seen;
  std::vector<int> nextIndex(kThreads, 0);
  for (const json& event : streams.events()) {
    const int thread = std::stoi(event["thread"].get<std::string>());
    const int index = std::stoi(event["index"].get<std::string>());
    EXPECT_EQ(event["padding"].get<std::string>().size(), std::size_t(thread * 3000 + 10));
    EXPECT_EQ(index, nextIndex[thread]++) << "events of one thread keep their order";
    seen.emplace(thread, index);
  }
  EXPECT_EQ(seen.size(), std::size_t(kThreads * kEventsPerThread));

  std::string expectedDiagnostics;
  for (int i = 0; i < kThreads * (kEventsPerThread / 50); ++i)
    expectedDiagnostics += kDiagnosticLine;
  EXPECT_EQ(streams.diagnostics(), expectedDiagnostics);
}

}  // namespace
}  // namespace glimra
