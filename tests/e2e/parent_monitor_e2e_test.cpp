// The helper lives only as long as the process that started it.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <thread>

#include "e2e/helper_process.h"
#include "support/private_x_server.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using testing::HelperUnderIntermediateParent;

// While it lives, orphans of this test's children are handed to the test,
// so it can reap the helper and read its exit status.
class ScopedSubreaper {
 public:
  ScopedSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~ScopedSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

// Waits up to `timeout` for `pid` to exit; its status, or -1.
int awaitExitStatus(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(5ms);
  }
  return -1;
}

TEST(ParentMonitorTest, TheHelperEndsQuietlyWithStatusZeroWhenItsParentEnds) {
  const auto server = testing::PrivateXServer::start();
  const ScopedSubreaper subreaper;
  HelperUnderIntermediateParent helper(
      {.arguments = {"--voice-chords"}, .environment = {{"DISPLAY", server->display()}}});

  // Listening: the first line is `ready`.
  std::string output;
  while (output.find('\n') == std::string::npos) {
    char byte;
    ASSERT_EQ(::read(helper.outputFd(), &byte, 1), 1) << output;
    output += byte;
  }
  EXPECT_EQ(output, "{\"type\":\"ready\"}\n");

  helper.endParent();
  EXPECT_EQ(awaitExitStatus(helper.helperPid(), 10s), 0);
  std::string rest;
  EXPECT_TRUE(testing::readUntilEnd(helper.outputFd(), rest, 5s));
  EXPECT_EQ(rest, "") << "nothing on either stream after the parent ends";
}

TEST(ParentMonitorTest, AHelperWhoseParentIsInitEndsAtOnceAndSilently) {
  HelperUnderIntermediateParent helper(
      {.arguments = {"--voice-chords"}, .environment = {{"DISPLAY", std::nullopt}}, .orphaned = true});
  if (helper.parentAtStart() != 1) {
    GTEST_SKIP() << "orphans here go to a subreaper (pid " << helper.parentAtStart()
                 << "), not to init";
  }
  // It is init's child now: its end shows as the end of its output.
  std::string output;
  EXPECT_TRUE(testing::readUntilEnd(helper.outputFd(), output, 10s));
  EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace glimra
