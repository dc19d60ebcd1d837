#include "support/subprocess.h"
#include "support/process_probes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace glimra::testing {
namespace {

using namespace std::chrono_literals;

ProcessResult runShell(const std::string& script, ProcessOptions options = {}) {
  options.arguments = {"-c", script};
  return runProcess("/bin/sh", options);
}

// Whether the process is gone, or dead and waiting for its new parent to
// reap it.
bool processIsDead(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string line;
  std::getline(stat, line);
  // The state follows the command name, which is in parentheses.
  size_t nameEnd = line.rfind(')');
  return nameEnd != std::string::npos && line.size() > nameEnd + 2 && line[nameEnd + 2] == 'Z';
}

// SIGKILL takes effect when the target next runs, after kill() has returned,
// so allow it a moment.
bool processDies(pid_t pid) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!processIsDead(pid)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Sets (or with std::nullopt removes) a variable of the test's own
// environment and restores the old value afterwards.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value)
      : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) oldValue_ = old;
    apply(value);
  }
  ~ScopedEnvironmentVariable() { apply(oldValue_); }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  void apply(const std::optional<std::string>& value) {
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

  std::string name_;
  std::optional<std::string> oldValue_;
};

// Restores the signal mask and the handling of SIGTERM.
class SavedSignalState {
 public:
  SavedSignalState() {
    sigprocmask(SIG_SETMASK, nullptr, &mask_);
    sigaction(SIGTERM, nullptr, &termAction_);
  }
  ~SavedSignalState() {
    sigaction(SIGTERM, &termAction_, nullptr);
    sigprocmask(SIG_SETMASK, &mask_, nullptr);
  }
  SavedSignalState(const SavedSignalState&) = delete;
  SavedSignalState& operator=(const SavedSignalState&) = delete;

 private:
  sigset_t mask_;
  struct sigaction termAction_ {};
};

TEST(RunProcessTest, CapturesStandardOutputAndErrorSeparately) {
  ProcessResult result = runShell("echo out; echo err >&2; echo more out; exit 3");

  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.standardOutput, "out\nmore out\n");
  EXPECT_EQ(result.standardError, "err\n");
}

TEST(RunProcessTest, ReportsExitCodesAndTerminatingSignals) {
  struct Case {
    std::string script;
    int exitStatus;
  };
  const std::vector<Case> cases = {
      {"exit 0", 0},
      {"exit 255", 255},
      {"kill -TERM $$", 128 + SIGTERM},
      {"kill -KILL $$", 128 + SIGKILL},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.script);
    ProcessResult result = runShell(testCase.script);
    EXPECT_EQ(result.exitStatus, testCase.exitStatus);
    EXPECT_FALSE(result.timedOut);
  }
}

TEST(RunProcessTest, FindsProgramsWithoutSlashInPath) {
  ProcessResult result = runProcess("sh", {.arguments = {"-c", "echo found"}});

  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardOutput, "found\n");
}

TEST(RunProcessTest, AppliesEnvironmentChangesOnTopOfTheTestsEnvironment) {
  ScopedEnvironmentVariable inherited("GLIMRA_TEST_INHERITED", "kept");
  ScopedEnvironmentVariable overridden("GLIMRA_TEST_OVERRIDDEN", "old");
  ScopedEnvironmentVariable removed("GLIMRA_TEST_REMOVED", "present");
  ScopedEnvironmentVariable absent("GLIMRA_TEST_SET", std::nullopt);

  ProcessResult result = runShell(
      "for name in GLIMRA_TEST_INHERITED GLIMRA_TEST_OVERRIDDEN GLIMRA_TEST_REMOVED "
      "GLIMRA_TEST_SET; do"
      "  eval \"echo $name=\\${$name-unset}\"; "
      "done",
      {.environment = {{"GLIMRA_TEST_OVERRIDDEN", "new"},
                       {"GLIMRA_TEST_REMOVED", std::nullopt},
                       {"GLIMRA_TEST_SET", "with spaces and = sign"}}});

  ASSERT_EQ(result.exitStatus, 0) << result.standardError;
  EXPECT_EQ(splitLines(result.standardOutput),
            (std::vector<std::string>{"GLIMRA_TEST_INHERITED=kept", "GLIMRA_TEST_OVERRIDDEN=new",
                                      "GLIMRA_TEST_REMOVED=unset",
                                      "GLIMRA_TEST_SET=with spaces and = sign"}));
  // The changes apply to the child only.
  EXPECT_STREQ(std::getenv("GLIMRA_TEST_REMOVED"), "present");
  EXPECT_STREQ(std::getenv("GLIMRA_TEST_OVERRIDDEN"), "old");
}

TEST(RunProcessTest, TimeoutKillsTheProgramAndWhatItStarted) {
  // The shell waits for a background sleep that also holds the output pipes.
  ProcessResult result = runShell("sleep 30 & echo $!; wait", {.timeout = 300ms});

  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 128 + SIGKILL);
  std::vector<std::string> lines = splitLines(result.standardOutput);
  ASSERT_EQ(lines.size(), 1u) << result.standardOutput;
  EXPECT_TRUE(processDies(std::stoi(lines[0])));
  EXPECT_FALSE(hasChildProcesses());
}

TEST(RunProcessTest, KillsWhatTheProgramLeftRunningAfterItExits) {
  // The background sleep closes its output, so nothing waits for it.
  ProcessResult result = runShell("sleep 30 >/dev/null 2>&1 & echo $!");

  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 0);
  std::vector<std::string> lines = splitLines(result.standardOutput);
  ASSERT_EQ(lines.size(), 1u) << result.standardOutput;
  EXPECT_TRUE(processDies(std::stoi(lines[0])));
}

TEST(RunProcessTest, TimeoutAppliesWhenTheProgramClosesItsOutputButKeepsRunning) {
  ProcessResult result = runShell("echo bye; exec >&- 2>&-; sleep 30", {.timeout = 300ms});

  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 128 + SIGKILL);
  EXPECT_EQ(result.standardOutput, "bye\n");
}

TEST(RunProcessTest, ReadsBothStreamsWhileTheProgramRuns) {
  // Each stream is much larger than a pipe buffer, and standard error comes
  // first: reading one stream to its end before the other would deadlock.
  ProcessResult result = runShell("head -c 1000000 /dev/zero >&2; head -c 1000000 /dev/zero");

  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardOutput.size(), 1000000u);
  EXPECT_EQ(result.standardError.size(), 1000000u);
}

TEST(RunProcessTest, ChildGetsDevNullAsInputAndNoOtherDescriptors) {
  // Deliberately not close-on-exec: the child must not get it anyway.
  UniqueFd inheritable(open("/dev/null", O_RDONLY));
  ASSERT_TRUE(inheritable.valid());
  size_t descriptorsBefore = openDescriptorCount();

  ProcessResult result =
      runShell("readlink /proc/$$/fd/0; test -e /proc/$$/fd/" + std::to_string(inheritable.get()) +
               " && echo leaked || echo closed");

  EXPECT_EQ(splitLines(result.standardOutput), (std::vector<std::string>{"/dev/null", "closed"}));
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TEST(RunProcessTest, ChildStartsWithDefaultSignalHandling) {
  // Ignored signals survive exec and blocked ones stay blocked, so a child
  // that inherited either would survive this SIGTERM.
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"SIGTERM ignored by the test", [] { signal(SIGTERM, SIG_IGN); }},
      {"SIGTERM blocked by the test",
       [] {
         sigset_t term;
         sigemptyset(&term);
         sigaddset(&term, SIGTERM);
         sigprocmask(SIG_BLOCK, &term, nullptr);
       }},
  };
  for (const auto& [name, setUp] : cases) {
    SCOPED_TRACE(name);
    ProcessResult result;
    {
      SavedSignalState saved;
      setUp();
      result = runShell("kill -TERM $$; echo survived");
    }
    EXPECT_EQ(result.exitStatus, 128 + SIGTERM);
    EXPECT_EQ(result.standardOutput, "");
  }
}

TEST(RunProcessTest, ThrowsWhenTheProgramCannotBeStarted) {
  const std::vector<std::string> programs = {
      "/nonexistent/glimra-test-program", "glimra-test-program-not-in-path",
      "/etc/passwd",  // not executable
      "/tmp",         // a directory
  };
  size_t descriptorsBefore = openDescriptorCount();
  for (const std::string& program : programs) {
    SCOPED_TRACE(program);
    try {
      runProcess(program, {});
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("cannot start \"" + program + "\""),
                std::string::npos)
          << error.what();
    }
  }
  EXPECT_FALSE(hasChildProcesses());
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TEST(SplitLinesTest, SplitsAtNewlinesAndKeepsATrailingPartialLine) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"\n", {""}},
      {"one\n", {"one"}},
      {"one\ntwo\n", {"one", "two"}},
      {"one\n\nthree\n", {"one", "", "three"}},
      {"one\npartial", {"one", "partial"}},
      {"partial", {"partial"}},
      {"cr\r\n", {"cr\r"}},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE("text: \"" + testCase.text + "\"");
    EXPECT_EQ(splitLines(testCase.text), testCase.lines);
  }
}

}  // namespace
}  // namespace glimra::testing
