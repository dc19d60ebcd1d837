#include "openwith/open_with_applications.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_application_registry.h"

namespace glimra {
namespace {

using testing::applicationAt;
using testing::ApplicationRegistryScript;
using testing::FakeApplicationRegistry;
using testing::notAnApplication;

const std::filesystem::path kFile = "/Users/me/notes.txt";

std::string browserPath(int number) {
  return "/Applications/Browser" + std::to_string(number) + ".app";
}
std::string otherPath(int number) {
  return "/Applications/Editor" + std::to_string(number) + ".app";
}

class OpenWithApplicationsTest : public ::testing::Test {
 protected:
  OpenWithApplicationsTest()
      : script_(std::make_shared<ApplicationRegistryScript>()), registry_(script_) {
    script_->applicationsForFile.emplace();
    script_->webViewers.emplace();
  }

  // An application registered for the file that opens with `name` and an
  // identifier made from it; a web browser also views web pages.
  void addApplication(const std::string& path, bool isWebBrowser) {
    script_->applicationsForFile->push_back(applicationAt(path));
    if (isWebBrowser) script_->webViewers->push_back(applicationAt(path));
    const std::string name = applicationFileStem(path);
    script_->openable[path] = {
        .displayName = std::nullopt, .name = name, .identifier = "org.example." + name};
  }

  std::vector<OpenWithApplication> list() { return openWithApplications(kFile, registry_); }

  // The application paths of `applications`, in order.
  static std::vector<std::string> pathsOf(const std::vector<OpenWithApplication>& applications) {
    std::vector<std::string> paths;
    for (const OpenWithApplication& application : applications) {
      paths.push_back(application.applicationPath);
    }
    return paths;
  }

  std::shared_ptr<ApplicationRegistryScript> script_;
  FakeApplicationRegistry registry_;
};

TEST_F(OpenWithApplicationsTest, AnApplicationBecomesAnEntryWithItsNameIdentifierAndPath) {
  addApplication("/Applications/Editor.app", false);
  addApplication("/Applications/Browser.app", true);

  EXPECT_EQ(list(), (std::vector<OpenWithApplication>{
                        {"org.example.Editor", "Editor", "/Applications/Editor.app", false},
                        {"org.example.Browser", "Browser", "/Applications/Browser.app", true}}));
  EXPECT_EQ(script_->calls.front(), "applicationsForFile /Users/me/notes.txt");
}

TEST_F(OpenWithApplicationsTest, SevenBrowsersAndTwoOthersGiveTheFirstFiveBrowsersAndBoth) {
  // In the registry's order: B1 E1 B2 B3 B4 B5 B6 E2 B7.
  addApplication(browserPath(1), true);
  addApplication(otherPath(1), false);
  for (int number = 2; number <= 6; ++number) addApplication(browserPath(number), true);
  addApplication(otherPath(2), false);
  addApplication(browserPath(7), true);

  EXPECT_EQ(pathsOf(list()),
            (std::vector<std::string>{browserPath(1), otherPath(1), browserPath(2), browserPath(3),
                                      browserPath(4), browserPath(5), otherPath(2)}));
  // The sixth and seventh browsers are skipped before they are opened.
  EXPECT_EQ(script_->callsStartingWith("openApplication").size(), 7u);
}

TEST_F(OpenWithApplicationsTest, StopsOnceBothLimitsAreReached) {
  for (int number = 1; number <= 5; ++number) {
    addApplication(browserPath(number), true);
    addApplication(otherPath(number), false);
  }
  addApplication(otherPath(6), false);
  script_->applicationsForFile->push_back(notAnApplication());
  addApplication(browserPath(6), true);

  EXPECT_EQ(list().size(), 10u);
  for (const std::string& call : script_->calls) {
    EXPECT_EQ(call.find(otherPath(6)), std::string::npos) << call;
  }
  // The web viewers are standardized when the browser set is built; after
  // the tenth entry the registry is asked nothing more.
  const std::vector<std::string> standardized = script_->callsStartingWith("standardizedPath");
  ASSERT_EQ(standardized.size(), 6u + 10u);
  EXPECT_EQ(standardized.back(), "standardizedPath " + otherPath(5));
  EXPECT_EQ(script_->calls.back(), "openApplication " + otherPath(5));
}

TEST_F(OpenWithApplicationsTest, ASixthBrowserIsSkippedWhileOthersAreStillAdded) {
  for (int number = 1; number <= 6; ++number) addApplication(browserPath(number), true);
  for (int number = 1; number <= 6; ++number) addApplication(otherPath(number), false);

  const std::vector<OpenWithApplication> applications = list();
  ASSERT_EQ(applications.size(), 10u);
  EXPECT_EQ(pathsOf(applications),
            (std::vector<std::string>{browserPath(1), browserPath(2), browserPath(3),
                                      browserPath(4), browserPath(5), otherPath(1), otherPath(2),
                                      otherPath(3), otherPath(4), otherPath(5)}));
  EXPECT_TRUE(applications[4].isWebBrowser);
  EXPECT_FALSE(applications[5].isWebBrowser);
}

TEST_F(OpenWithApplicationsTest, ASixthOtherApplicationIsSkippedWhileBrowsersAreStillAdded) {
  for (int number = 1; number <= 6; ++number) addApplication(otherPath(number), false);
  addApplication(browserPath(1), true);

  EXPECT_EQ(pathsOf(list()),
            (std::vector<std::string>{otherPath(1), otherPath(2), otherPath(3), otherPath(4),
                                      otherPath(5), browserPath(1)}));
}

TEST_F(OpenWithApplicationsTest, PathsThatStandardizeAlikeYieldOneEntryTheFirst) {
  addApplication("/Applications/Editor.app/", false);
  script_->applicationsForFile->push_back(applicationAt("/Applications/./Tools/../Editor.app"));
  script_->applicationsForFile->push_back(applicationAt("/Applications/Editor.app"));

  const std::vector<OpenWithApplication> applications = list();
  ASSERT_EQ(applications.size(), 1u);
  EXPECT_EQ(applications[0].applicationPath, "/Applications/Editor.app");
  // Opened where the registry pointed, not at the standardized path.
  EXPECT_EQ(script_->callsStartingWith("openApplication"),
            std::vector<std::string>{"openApplication /Applications/Editor.app/"});
}

TEST_F(OpenWithApplicationsTest, ElementsThatAreNotApplicationBundlesCountTowardsNoLimit) {
  script_->applicationsForFile->push_back(notAnApplication());
  script_->applicationsForFile->push_back(applicationAt("/usr/bin/editor"));
  script_->applicationsForFile->push_back(applicationAt("/Applications/Editor.APP"));
  script_->applicationsForFile->push_back(applicationAt("/Applications/Editor.app.zip"));
  for (int number = 1; number <= 5; ++number) addApplication(otherPath(number), false);

  EXPECT_EQ(pathsOf(list()), (std::vector<std::string>{otherPath(1), otherPath(2), otherPath(3),
                                                       otherPath(4), otherPath(5)}));
  for (const char* skipped : {"/usr/bin/editor", "/Applications/Editor.APP"}) {
    for (const std::string& call : script_->callsStartingWith("openApplication")) {
      EXPECT_NE(call, std::string("openApplication ") + skipped);
    }
  }
}

TEST_F(OpenWithApplicationsTest, TheSuffixIsThePlatformsOwn) {
  script_->suffix = ".desktop";
  script_->applicationsForFile = {
      applicationAt("/usr/share/applications/Editor.app"),
      applicationAt("/usr/share/applications/org.example.Editor.desktop")};

  EXPECT_EQ(pathsOf(list()),
            std::vector<std::string>{"/usr/share/applications/org.example.Editor.desktop"});
}

TEST_F(OpenWithApplicationsTest, AnApplicationWithoutIdentifierHasItsPathAsId) {
  script_->applicationsForFile = {applicationAt("/Applications/Tools/../Editor.app/")};
  script_->openable["/Applications/Tools/../Editor.app/"] = {std::nullopt, "Editor", std::nullopt};

  const std::vector<OpenWithApplication> applications = list();
  ASSERT_EQ(applications.size(), 1u);
  EXPECT_EQ(applications[0].id, "/Applications/Editor.app");
  EXPECT_EQ(applications[0].label, "Editor");
}

struct LabelCase {
  const char* name;
  std::optional<ApplicationDescription> description;  // none: cannot be opened
  std::string label;
  std::string id;
};

void PrintTo(const LabelCase& c, std::ostream* out) { *out << c.name; }

class OpenWithLabelTest : public OpenWithApplicationsTest,
                          public ::testing::WithParamInterface<LabelCase> {};

TEST_P(OpenWithLabelTest, LabelAndIdFallBackInOrder) {
  const LabelCase& c = GetParam();
  script_->applicationsForFile = {applicationAt("/Applications/Text Editor.app")};
  if (c.description) script_->openable["/Applications/Text Editor.app"] = *c.description;

  const std::vector<OpenWithApplication> applications = list();
  ASSERT_EQ(applications.size(), 1u);
  EXPECT_EQ(applications[0].label, c.label);
  EXPECT_EQ(applications[0].id, c.id);
  EXPECT_EQ(applications[0].applicationPath, "/Applications/Text Editor.app");
}

const std::string kPath = "/Applications/Text Editor.app";

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenWithLabelTest,
    ::testing::Values(
        LabelCase{"display name first", ApplicationDescription{"Text Editor Pro", "Editor", "a.b"},
                  "Text Editor Pro", "a.b"},
        LabelCase{"name without display name",
                  ApplicationDescription{std::nullopt, "Editor", "a.b"}, "Editor", "a.b"},
        LabelCase{"an empty display name is a name", ApplicationDescription{"", "Editor", "a.b"},
                  "", "a.b"},
        LabelCase{"an empty name is a name", ApplicationDescription{std::nullopt, "", "a.b"}, "",
                  "a.b"},
        LabelCase{"neither: the file name",
                  ApplicationDescription{std::nullopt, std::nullopt, "a.b"}, "Text Editor", "a.b"},
        LabelCase{"nothing at all", ApplicationDescription{}, "Text Editor", kPath},
        LabelCase{"cannot be opened", std::nullopt, "Text Editor", kPath}));

TEST_F(OpenWithApplicationsTest, NoAnswerForTheFileIsAnEmptyListAndNoBrowserQuery) {
  script_->applicationsForFile.reset();
  script_->webViewers = {applicationAt(browserPath(1))};

  EXPECT_TRUE(list().empty());
  EXPECT_EQ(script_->calls, std::vector<std::string>{"applicationsForFile /Users/me/notes.txt"});
}

TEST_F(OpenWithApplicationsTest, WithoutWebViewersEveryApplicationIsAnOtherOne) {
  for (int number = 1; number <= 6; ++number) addApplication(browserPath(number), true);
  script_->webViewers.reset();

  const std::vector<OpenWithApplication> applications = list();
  ASSERT_EQ(applications.size(), 5u);
  for (const OpenWithApplication& application : applications) {
    EXPECT_FALSE(application.isWebBrowser) << application.applicationPath;
  }
}

TEST_F(OpenWithApplicationsTest, WebBrowsersAreFoundByStandardizedPathWithoutSuffixFilter) {
  addApplication("/Applications/Browser.app", false);
  addApplication("/Applications/Editor.app", false);
  script_->webViewers = {applicationAt("/Applications/./Browser.app/"), notAnApplication(),
                         applicationAt("/usr/bin/browser")};

  const std::vector<OpenWithApplication> applications = list();
  ASSERT_EQ(applications.size(), 2u);
  EXPECT_TRUE(applications[0].isWebBrowser);
  EXPECT_FALSE(applications[1].isWebBrowser);
  const std::vector<std::string> probes = script_->callsStartingWith("viewersOfWebAddress");
  ASSERT_EQ(probes.size(), 1u);
  EXPECT_TRUE(probes[0].starts_with("viewersOfWebAddress https://")) << probes[0];
}

TEST(ApplicationFileStemTest, IsTheLastComponentWithoutItsExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"/Applications/Editor.app", "Editor"},
      {"/Applications/Editor.app/", "Editor"},
      {"/usr/share/applications/org.gnome.TextEditor.desktop", "org.gnome.TextEditor"},
      {"/opt/tool", "tool"},
      {"/opt/.hidden", ".hidden"},
      {"/opt/bad\xFF.app", "bad\xEF\xBF\xBD"},
  };
  for (const auto& [location, stem] : cases)
    EXPECT_EQ(applicationFileStem(location), stem) << location;
}

}  // namespace
}  // namespace glimra
