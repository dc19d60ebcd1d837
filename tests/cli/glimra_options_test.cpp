#include "cli/glimra_options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace glimra {
namespace {

namespace fs = std::filesystem;

struct ParseCase {
  const char* name;
  std::vector<std::string> arguments;
  std::optional<GlimraMode> mode;  // expected mode, or
  std::string message;             // the expected failure message
};

ParseCase accepts(const char* name, std::vector<std::string> arguments, GlimraMode mode) {
  return {name, std::move(arguments), std::move(mode), ""};
}

ParseCase rejects(const char* name, std::vector<std::string> arguments, std::string message) {
  return {name, std::move(arguments), std::nullopt, std::move(message)};
}

const std::string kNoMode = "Expected --check-permissions, --request-permissions, or --watch.";
const std::string kOneMode = "Choose exactly one helper mode.";
const std::string kPid = "--pid requires a process id.";

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesTheModeOrTheFirstFailure) {
  const ParseCase& c = GetParam();
  const Result<GlimraOptions> result = GlimraOptions::parse(c.arguments);
  if (c.mode) {
    ASSERT_TRUE(result.ok()) << result.failure().message;
    EXPECT_EQ(result.value().mode, *c.mode);
  } else {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure().code, "invalid_arguments");
    EXPECT_EQ(result.failure().message, c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ParseTest,
    testing::Values(
        accepts("Check", {"--check-permissions"}, modes::CheckPermissions{}),
        accepts("Request", {"--request-permissions"}, modes::RequestPermissions{}),
        accepts("VoiceChords", {"--voice-chords"}, modes::VoiceChords{}),
        accepts("FocusedWithoutPid", {"--focused-text-target"}, modes::FocusedTextTarget{}),
        accepts("ListOpenWith", {"--list-open-with", "--path", "/tmp/a.txt"},
                modes::ListOpenWith{"/tmp/a.txt"}),
        accepts("Watch", {"--watch", "--output-dir", "/tmp/out", "--excluded-bundle-id", "com.x"},
                modes::Watch{"/tmp/out", "com.x"}),
        accepts("WatchOptionsFirst",
                {"--excluded-bundle-id", "com.x", "--output-dir", "/o", "--watch"},
                modes::Watch{"/o", "com.x"}),
        accepts("LaterOutputDirWins",
                {"--watch", "--output-dir", "/a", "--output-dir", "/b", "--excluded-bundle-id",
                 "x"},
                modes::Watch{"/b", "x"}),
        accepts("BundleIdKeptVerbatim",
                {"--watch", "--output-dir", "/o", "--excluded-bundle-id", " Odd/Id "},
                modes::Watch{"/o", " Odd/Id "}),
        accepts("ValueThatLooksLikeAFlag",
                {"--watch", "--output-dir", "--voice-chords", "--excluded-bundle-id", "--watch"},
                modes::Watch{fs::current_path() / "--voice-chords", "--watch"}),
        // Options a mode does not name are accepted and ignored.
        accepts("CheckIgnoresPath", {"--check-permissions", "--path", "f"},
                modes::CheckPermissions{}),
        accepts("WatchIgnoresPathAndPid",
                {"--pid", "5", "--path", "/f", "--watch", "--output-dir", "/o",
                 "--excluded-bundle-id", "x"},
                modes::Watch{"/o", "x"}),
        accepts("ListIgnoresPid", {"--list-open-with", "--path", "/f", "--pid", "3"},
                modes::ListOpenWith{"/f"})),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ScanFailures, ParseTest,
    testing::Values(
        rejects("Empty", {}, kNoMode), rejects("SameModeTwice", {"--watch", "--watch"}, kOneMode),
        rejects("SecondModeBeforeUnknown", {"--watch", "--voice-chords", "--bogus"}, kOneMode),
        rejects("UnknownBeforeMode", {"--bogus", "--watch"}, "Unknown argument: --bogus"),
        rejects("EmptyArgument", {"--check-permissions", ""}, "Unknown argument: "),
        rejects("NoEqualsForms", {"--output-dir=/tmp"}, "Unknown argument: --output-dir=/tmp"),
        rejects("CaseSensitive", {"--Watch"}, "Unknown argument: --Watch"),
        rejects("OutputDirLast", {"--watch", "--output-dir"}, "--output-dir requires a path."),
        rejects("BundleIdLast", {"--watch", "--excluded-bundle-id"},
                "--excluded-bundle-id requires a bundle identifier."),
        rejects("PathLast", {"--list-open-with", "--path"}, "--path requires a file path."),
        rejects("PathTwice", {"--list-open-with", "--path", "a", "--path", "b"},
                "--path may only be provided once."),
        rejects("PathTwiceAsLast", {"--path", "a", "--path"}, "--path may only be provided once."),
        rejects("PidLast", {"--focused-text-target", "--pid"}, kPid),
        rejects("LaterPidMustParse", {"--pid", "1", "--pid", "x", "--check-permissions"}, kPid),
        rejects("PidCheckedInEveryMode", {"--check-permissions", "--pid", "1.5"}, kPid),
        rejects("OutputDirSwallowsMode", {"--output-dir", "--watch", "--excluded-bundle-id", "x"},
                kNoMode)),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ModeFailures, ParseTest,
    testing::Values(
        rejects("CheckWithEmptyBundleId", {"--check-permissions", "--excluded-bundle-id", ""},
                "Permission checks do not accept watch arguments."),
        rejects("RequestWithOutputDir", {"--request-permissions", "--output-dir", "/o"},
                "Permission requests do not accept watch arguments."),
        rejects("ListWithoutPath", {"--list-open-with"},
                "--list-open-with requires exactly one --path."),
        rejects("ListWithEmptyPath", {"--list-open-with", "--path", ""},
                "--list-open-with requires exactly one --path."),
        rejects("ListWithOutputDir", {"--list-open-with", "--path", "a", "--output-dir", "o"},
                "--list-open-with requires exactly one --path."),
        rejects("WatchWithoutDir", {"--watch", "--excluded-bundle-id", "x"},
                "--watch requires --output-dir."),
        rejects("WatchWithEmptyDir", {"--watch", "--output-dir", "", "--excluded-bundle-id", "x"},
                "--watch requires --output-dir."),
        rejects("WatchWithoutBundleId", {"--watch", "--output-dir", "d"},
                "--watch requires --excluded-bundle-id."),
        rejects("WatchWithEmptyBundleId",
                {"--watch", "--output-dir", "d", "--excluded-bundle-id", ""},
                "--watch requires --excluded-bundle-id."),
        rejects("VoiceChordsWithPath", {"--voice-chords", "--path", "p"},
                "--voice-chords does not accept other arguments."),
        rejects("VoiceChordsWithBundleId", {"--voice-chords", "--excluded-bundle-id", "b"},
                "--voice-chords does not accept other arguments."),
        rejects("FocusedWithPath", {"--focused-text-target", "--path", "x"},
                "--focused-text-target only accepts an optional --pid."),
        rejects("FocusedWithOutputDir", {"--focused-text-target", "--output-dir", "x"},
                "--focused-text-target only accepts an optional --pid.")),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseTest, FocusedTextTargetCarriesThePid) {
  const auto result =
      GlimraOptions::parse(std::vector<std::string>{"--focused-text-target", "--pid", "-12"});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(std::get<modes::FocusedTextTarget>(result.value().mode).pid, -12);
}

TEST(ParseTest, UnknownArgumentThatIsNotUTF8IsReportedReadably) {
  const auto result = GlimraOptions::parse(std::vector<std::string>{"--x\xff"});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.failure().message, "Unknown argument: --x\xEF\xBF\xBD");
}

struct PidCase {
  const char* text;
  std::optional<std::int32_t> value;
};

void PrintTo(const PidCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class ProcessIdentifierTest : public testing::TestWithParam<PidCase> {};

TEST_P(ProcessIdentifierTest, ParsesSignedThirtyTwoBitDecimals) {
  EXPECT_EQ(parseProcessIdentifier(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ProcessIdentifierTest,
    testing::Values(PidCase{"42", 42}, PidCase{"+7", 7}, PidCase{"-12", -12}, PidCase{"0", 0},
                    PidCase{"-0", 0}, PidCase{"0007", 7}, PidCase{"2147483647", 2147483647},
                    PidCase{"-2147483648", -2147483647 - 1},
                    PidCase{"000000000000000000002147483647", 2147483647},
                    PidCase{"2147483648", std::nullopt}, PidCase{"-2147483649", std::nullopt},
                    PidCase{"99999999999999999999", std::nullopt}, PidCase{"", std::nullopt},
                    PidCase{"-", std::nullopt}, PidCase{"+", std::nullopt},
                    PidCase{"+-1", std::nullopt}, PidCase{"1.5", std::nullopt},
                    PidCase{" 1", std::nullopt}, PidCase{"1 ", std::nullopt},
                    PidCase{"0x10", std::nullopt}, PidCase{"\xd9\xa3", std::nullopt}));

class StandardizedPathTest : public testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    root_ = fs::temp_directory_path() / ("glimra-paths-" + std::to_string(::getpid()));
    fs::create_directories(root_ / "real" / "inner");
    fs::create_directory_symlink(root_ / "real" / "inner", root_ / "link");
    fs::current_path(root_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(root_);
  }

  fs::path previous_;
  fs::path root_;
};

TEST_F(StandardizedPathTest, RemovesDotsAndRedundantSeparators) {
  EXPECT_EQ(standardizedFilePath("/a//b/./c/"), "/a/b/c");
  EXPECT_EQ(standardizedFilePath("/a/b/../c"), "/a/c");
  EXPECT_EQ(standardizedFilePath("/../a/.."), "/");
  EXPECT_EQ(standardizedFilePath("/"), "/");
}

TEST_F(StandardizedPathTest, ResolvesRelativePathsAgainstTheCurrentDirectory) {
  EXPECT_EQ(standardizedFilePath("out"), root_ / "out");
  EXPECT_EQ(standardizedFilePath("./real/../out/"), root_ / "out");
  const auto result =
      GlimraOptions::parse(std::vector<std::string>{"--list-open-with", "--path", "doc.txt"});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(std::get<modes::ListOpenWith>(result.value().mode).fileURL, root_ / "doc.txt");
}

TEST_F(StandardizedPathTest, KeepsParentStepsAfterASymbolicLink) {
  // link/.. is real/, not the directory that holds the link.
  const fs::path standardized = standardizedFilePath("link/../../x");
  EXPECT_EQ(standardized, root_ / "link" / ".." / ".." / "x");
  EXPECT_EQ(fs::weakly_canonical(standardized), fs::weakly_canonical(root_ / "x"));
}

}  // namespace
}  // namespace glimra
