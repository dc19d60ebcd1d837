#include "cli/list_open_with_mode.h"

#include <gtest/gtest.h>

#include <memory>

#include "fakes/captured_streams.h"
#include "fakes/fake_application_registry.h"

namespace glimra {
namespace {

using nlohmann::json;
using testing::applicationAt;
using testing::ApplicationRegistryScript;
using testing::CapturedStreams;
using testing::FakeApplicationRegistry;

std::vector<json> runMode(const std::shared_ptr<ApplicationRegistryScript>& script,
                          const std::filesystem::path& file) {
  FakeApplicationRegistry registry(script);
  CapturedStreams streams;
  NDJSONEmitter emitter(streams.outputFd(), streams.diagnosticFd());
  runListOpenWithMode(modes::ListOpenWith{file}, emitter, registry);
  EXPECT_EQ(streams.diagnostics(), "");
  return streams.events();
}

TEST(ListOpenWithModeTest, WritesTheListAsOneEventWithStringValues) {
  auto script = std::make_shared<ApplicationRegistryScript>();
  script->applicationsForFile = {applicationAt("/Applications/Editor.app"),
                                 applicationAt("/Applications/Browser.app/")};
  script->webViewers = {applicationAt("/Applications/Browser.app")};
  script->openable["/Applications/Editor.app"] =
      ApplicationDescription{std::nullopt, "Editor", "org.ex.Editor"};

  const std::vector<json> events = runMode(script, "/home/me/a b.txt");

  EXPECT_EQ(events, std::vector<json>{json::parse(R"({"type":"openWithApplications",
      "applications":[
        {"id":"org.ex.Editor","label":"Editor","applicationPath":"/Applications/Editor.app",
         "isWebBrowser":"false"},
        {"id":"/Applications/Browser.app","label":"Browser",
         "applicationPath":"/Applications/Browser.app","isWebBrowser":"true"}]})")});
  EXPECT_EQ(script->calls.front(), "applicationsForFile /home/me/a b.txt");
}

TEST(ListOpenWithModeTest, NoApplicationsIsAnEmptyArray) {
  for (const bool answers : {false, true}) {
    auto script = std::make_shared<ApplicationRegistryScript>();
    if (answers) script->applicationsForFile.emplace();
    EXPECT_EQ(
        runMode(script, "/tmp/none"),
        std::vector<json>{json::parse(R"({"type":"openWithApplications","applications":[]})")})
        << "registry answers: " << answers;
  }
}

}  // namespace
}  // namespace glimra
