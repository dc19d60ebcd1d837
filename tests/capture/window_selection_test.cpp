#include "capture/window_selection.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_window_service.h"
#include "protocol/failure_catalog.h"

namespace glimra {
namespace {

using testing::capturableWindow;
using testing::FakeWindowService;
using testing::WindowScript;

constexpr std::int32_t kAppPID = 4242;
constexpr char kHostBundle[] = "com.example.host";

class WindowSelectionTest : public ::testing::Test {
 protected:
  WindowSelectionTest() : script_(std::make_shared<WindowScript>()), windows_(script_) {
    RunningApplication application;
    application.processIdentifier = kAppPID;
    application.bundleIdentifier = "org.example.Editor";
    application.localizedName = "Editor";
    application.handle = 77;
    script_->frontmostApplication = application;
    script_->onScreenWindows.emplace();
  }

  Result<SelectedWindow> select() { return selectFrontmostWindow(windows_, kHostBundle); }

  std::vector<WindowRecord>& windowList() { return *script_->onScreenWindows; }

  std::shared_ptr<WindowScript> script_;
  FakeWindowService windows_;
};

struct FilterCase {
  const char* name;
  std::function<void(WindowRecord&)> change;
  bool eligible;
};

std::function<void(WindowRecord&)> sized(double width, double height) {
  return [=](WindowRecord& window) { window.bounds = Rect{30, 40, width, height}; };
}

TEST_F(WindowSelectionTest, FiltersEachWindowOnItsRecord) {
  const std::vector<FilterCase> cases = {
      {"unchanged", [](WindowRecord&) {}, true},
      {"other owner", [](WindowRecord& w) { w.ownerPID = kAppPID + 1; }, false},
      {"no owner", [](WindowRecord& w) { w.ownerPID.reset(); }, false},
      {"layer 3", [](WindowRecord& w) { w.layer = 3; }, false},
      {"layer -1", [](WindowRecord& w) { w.layer = -1; }, false},
      {"no layer", [](WindowRecord& w) { w.layer.reset(); }, false},
      {"alpha 0", [](WindowRecord& w) { w.alpha = 0.0; }, false},
      {"alpha 0.01", [](WindowRecord& w) { w.alpha = 0.01; }, true},
      {"no alpha", [](WindowRecord& w) { w.alpha.reset(); }, true},
      {"offscreen", [](WindowRecord& w) { w.isOnscreen = false; }, false},
      {"onscreen unknown", [](WindowRecord& w) { w.isOnscreen.reset(); }, true},
      {"sharing 0", [](WindowRecord& w) { w.sharingState = 0; }, false},
      {"sharing 2", [](WindowRecord& w) { w.sharingState = 2; }, true},
      {"sharing unknown", [](WindowRecord& w) { w.sharingState.reset(); }, true},
      {"no number", [](WindowRecord& w) { w.number.reset(); }, false},
      {"no bounds", [](WindowRecord& w) { w.bounds.reset(); }, false},
      {"2.0 x 2.0", sized(2.0, 2.0), true},
      {"1.9 x 500", sized(1.9, 500), false},
      {"500 x 1.9", sized(500, 1.9), false},
  };
  for (const FilterCase& filter : cases) {
    SCOPED_TRACE(filter.name);
    WindowRecord window = capturableWindow(kAppPID, 5, "Document");
    filter.change(window);
    windowList() = {window};

    const Result<SelectedWindow> selected = select();
    if (filter.eligible) {
      ASSERT_TRUE(selected.ok()) << selected.failure().message;
      EXPECT_EQ(selected.value().windowID, 5u);
      EXPECT_EQ(selected.value().bounds, *window.bounds);
    } else {
      ASSERT_FALSE(selected.ok());
      EXPECT_EQ(selected.failure(), failures::noEligibleWindow());
    }
  }
}

TEST_F(WindowSelectionTest, ReportsTheChosenWindowAndTheApplication) {
  windowList() = {capturableWindow(kAppPID, 9, "Notes.txt")};
  windowList()[0].bounds = Rect{-40, 12.5, 640, 480};

  const Result<SelectedWindow> selected = select();
  ASSERT_TRUE(selected.ok());
  EXPECT_EQ(selected.value().windowID, 9u);
  EXPECT_EQ(selected.value().bounds, (Rect{-40, 12.5, 640, 480}));
  EXPECT_EQ(selected.value().sourceWindowTitle, "Notes.txt");
  EXPECT_EQ(selected.value().sourceAppName, "Editor");
  EXPECT_EQ(selected.value().sourceBundleIdentifier, "org.example.Editor");
  EXPECT_EQ(script_->calls, (std::vector<std::string>{"frontmostApplication", "onScreenWindows",
                                                      "applicationIcon"}));
  EXPECT_EQ(script_->iconHandles, std::vector<std::uint64_t>{77});
}

struct ChoiceCase {
  const char* name;
  std::vector<WindowRecord> frontToBack;
  std::uint32_t chosen;
  std::optional<std::string> title;
};

TEST_F(WindowSelectionTest, PrefersTheFrontmostTitledWindowThenTheFrontmostUntitled) {
  const std::vector<ChoiceCase> cases = {
      {"titled behind untitled",
       {capturableWindow(kAppPID, 1, std::nullopt), capturableWindow(kAppPID, 2, ""),
        capturableWindow(kAppPID, 3, "Main")},
       3,
       "Main"},
      {"two untitled",
       {capturableWindow(kAppPID, 1, std::nullopt), capturableWindow(kAppPID, 2, std::nullopt)},
       1,
       std::nullopt},
      {"two titled",
       {capturableWindow(kAppPID, 1, "Front"), capturableWindow(kAppPID, 2, "Back")},
       1,
       "Front"},
      {"empty name in front",
       {capturableWindow(kAppPID, 1, ""), capturableWindow(kAppPID, 2, std::nullopt)},
       1,
       ""},
      {"no name in front",
       {capturableWindow(kAppPID, 1, std::nullopt), capturableWindow(kAppPID, 2, "")},
       1,
       std::nullopt},
      {"titled windows of others skipped",
       {capturableWindow(kAppPID + 1, 1, "Other"), capturableWindow(kAppPID, 2, std::nullopt)},
       2,
       std::nullopt},
  };
  for (const ChoiceCase& choice : cases) {
    SCOPED_TRACE(choice.name);
    windowList() = choice.frontToBack;
    const Result<SelectedWindow> selected = select();
    ASSERT_TRUE(selected.ok());
    EXPECT_EQ(selected.value().windowID, choice.chosen);
    EXPECT_EQ(selected.value().sourceWindowTitle, choice.title);
  }
}

TEST_F(WindowSelectionTest, NeverReadsTheWindowListOfTheExcludedApplication) {
  script_->frontmostApplication->bundleIdentifier = kHostBundle;
  windowList() = {capturableWindow(kAppPID, 1, "Host")};

  const Result<SelectedWindow> selected = select();
  ASSERT_FALSE(selected.ok());
  EXPECT_EQ(selected.failure(), failures::excludedFrontmostApplication());
  EXPECT_EQ(script_->calls, std::vector<std::string>{"frontmostApplication"});
}

TEST_F(WindowSelectionTest, ExcludesOnlyTheExactBundleIdentifier) {
  script_->frontmostApplication->bundleIdentifier = "COM.example.host";
  windowList() = {capturableWindow(kAppPID, 1, "Almost the host")};
  EXPECT_TRUE(select().ok());
}

TEST_F(WindowSelectionTest, AnApplicationWithoutBundleIdentifierIsNeverExcluded) {
  script_->frontmostApplication->bundleIdentifier.reset();
  windowList() = {capturableWindow(kAppPID, 1, "Untitled app")};

  const Result<SelectedWindow> selected = selectFrontmostWindow(windows_, "");
  ASSERT_TRUE(selected.ok());
  EXPECT_FALSE(selected.value().sourceBundleIdentifier.has_value());
  EXPECT_EQ(selected.value().sourceAppName, "Editor");
}

TEST_F(WindowSelectionTest, FailsWithoutALiveFrontmostApplication) {
  windowList() = {capturableWindow(kAppPID, 1, "Doc")};
  script_->frontmostApplication->isTerminated = true;
  Result<SelectedWindow> selected = select();
  ASSERT_FALSE(selected.ok());
  EXPECT_EQ(selected.failure(), failures::noFrontmostApplication());

  script_->frontmostApplication.reset();
  selected = select();
  ASSERT_FALSE(selected.ok());
  EXPECT_EQ(selected.failure(), failures::noFrontmostApplication());
  EXPECT_EQ(script_->calls,
            (std::vector<std::string>{"frontmostApplication", "frontmostApplication"}));
}

TEST_F(WindowSelectionTest, FailsWhenTheWindowListIsUnavailableOrEmpty) {
  script_->onScreenWindows.reset();
  Result<SelectedWindow> selected = select();
  ASSERT_FALSE(selected.ok());
  EXPECT_EQ(selected.failure(), failures::windowListUnavailable());

  script_->onScreenWindows.emplace();
  selected = select();
  ASSERT_FALSE(selected.ok());
  EXPECT_EQ(selected.failure(), failures::noEligibleWindow());
}

TEST_F(WindowSelectionTest, AttachesTheIconWhenThereIsOneAndSelectsWithoutIt) {
  windowList() = {capturableWindow(kAppPID, 1, "Doc")};
  script_->applicationIcon = Image::blank(32, 32, Image::Alpha::premultiplied);
  script_->applicationIcon->pixels.assign(32 * 32, 0xff3366ccu);
  Result<SelectedWindow> selected = select();
  ASSERT_TRUE(selected.ok());
  ASSERT_TRUE(selected.value().sourceAppIconDataURL.has_value());
  EXPECT_EQ(selected.value().sourceAppIconDataURL->rfind("data:image/png;base64,", 0), 0u);

  script_->applicationIcon.reset();
  selected = select();
  ASSERT_TRUE(selected.ok());
  EXPECT_FALSE(selected.value().sourceAppIconDataURL.has_value());
  EXPECT_EQ(selected.value().windowID, 1u);
}

}  // namespace
}  // namespace glimra
