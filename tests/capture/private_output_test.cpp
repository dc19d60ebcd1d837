#include "capture/private_output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace glimra {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

std::vector<std::uint8_t> contentsOf(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> namesIn(const fs::path& directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

class PrivateOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/glimra-output-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_;
};

constexpr const char* kCaptureID = "0b7a5f4e-3c1d-4e2f-9a8b-7c6d5e4f3a2b";

TEST_F(PrivateOutputTest, CreatesMissingParentsPrivately) {
  const fs::path directory = root_ / "a" / "b" / "captures";
  EXPECT_EQ(preparePrivateOutputDirectory(directory), std::nullopt);
  EXPECT_TRUE(fs::is_directory(directory));
  EXPECT_EQ(modeOf(directory), 0700u);
}

TEST_F(PrivateOutputTest, NarrowsAnExistingDirectory) {
  const fs::path directory = root_ / "captures";
  fs::create_directory(directory);
  ::chmod(directory.c_str(), 0755);
  EXPECT_EQ(preparePrivateOutputDirectory(directory), std::nullopt);
  EXPECT_EQ(modeOf(directory), 0700u);
}

TEST_F(PrivateOutputTest, RefusesPathsThatCannotBeDirectories) {
  std::ofstream(root_ / "file") << "x";
  for (const fs::path& directory : {root_ / "file", root_ / "file" / "below"}) {
    const std::optional<GlimraFailure> failure = preparePrivateOutputDirectory(directory);
    ASSERT_TRUE(failure.has_value()) << directory;
    EXPECT_EQ(failure->code, "output_directory_unavailable");
    EXPECT_TRUE(failure->message.starts_with("Could not prepare the private capture directory: "))
        << failure->message;
    EXPECT_NE(failure->message.find("Not a directory"), std::string::npos) << failure->message;
  }
}

TEST_F(PrivateOutputTest, WritesTheExactBytesUnderTheCaptureName) {
  const std::vector<std::uint8_t> bytes = {0x89, 'P', 'N', 'G', 0, 1, 2, 255};
  const Result<WrittenFile> file = writePrivatePNG(bytes, kCaptureID, root_);
  ASSERT_TRUE(file.ok()) << file.failure().message;

  EXPECT_EQ(file.value().name, std::string("glimra-") + kCaptureID + ".png");
  EXPECT_EQ(file.value().name.size(), 47u);
  EXPECT_EQ(file.value().path, (root_ / file.value().name).string());
  EXPECT_EQ(contentsOf(file.value().path), bytes);
  EXPECT_EQ(modeOf(file.value().path), 0600u);
  EXPECT_EQ(namesIn(root_), std::vector<std::string>{file.value().name});
}

TEST_F(PrivateOutputTest, FileIsPrivateWhateverTheUmask) {
  const mode_t previous = ::umask(0);
  const Result<WrittenFile> file =
      writePrivatePNG(std::vector<std::uint8_t>(10), kCaptureID, root_);
  ::umask(previous);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(modeOf(file.value().path), 0600u);
}

// Each failure leaves nothing behind: no file under the capture name and no
// temporary file beside it.
TEST_F(PrivateOutputTest, FailedWritesLeaveNothingBehind) {
  const std::vector<std::uint8_t> bytes(1000, 7);

  // The directory went away after start-up.
  const Result<WrittenFile> missing = writePrivatePNG(bytes, kCaptureID, root_ / "gone");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.failure().code, "output_write_failed");
  EXPECT_TRUE(missing.failure().message.starts_with("Could not write the captured PNG: "));
  EXPECT_NE(missing.failure().message.find("No such file or directory"), std::string::npos);

  // The final step fails after the data is written: the name is taken by a
  // directory that is not empty, so the rename cannot replace it.
  const fs::path blocked = root_ / (std::string("glimra-") + kCaptureID + ".png");
  fs::create_directories(blocked / "inside");
  const Result<WrittenFile> renamed = writePrivatePNG(bytes, kCaptureID, root_);
  ASSERT_FALSE(renamed.ok());
  EXPECT_EQ(renamed.failure().code, "output_write_failed");
  EXPECT_EQ(namesIn(root_), std::vector<std::string>{blocked.filename().string()});
  EXPECT_TRUE(fs::is_directory(blocked / "inside"));
}

// The message of a write made by a child process that permissions bind:
// a superuser's child gives up its privileges first.
std::string messageOfUnprivilegedWrite(const fs::path& directory) {
  int channel[2];
  EXPECT_EQ(::pipe(channel), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    if (::geteuid() == 0 && ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
    const Result<WrittenFile> file =
        writePrivatePNG(std::vector<std::uint8_t>(10), kCaptureID, directory);
    const std::string message = file.ok() ? "written" : file.failure().message;
    (void)!::write(channel[1], message.data(), message.size());
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string message;
  char buffer[256];
  for (ssize_t count; (count = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
    message.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return message;
}

TEST_F(PrivateOutputTest, WriteFailsInADirectoryThatIsNotWritable) {
  ::chmod(root_.c_str(), 0500);
  const std::string message = messageOfUnprivilegedWrite(root_);
  ::chmod(root_.c_str(), 0700);
  EXPECT_TRUE(message.starts_with("Could not write the captured PNG: Permission denied"))
      << message;
  EXPECT_TRUE(namesIn(root_).empty());
}

}  // namespace
}  // namespace glimra
