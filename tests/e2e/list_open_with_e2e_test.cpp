// `--list-open-with` of the real binary against a private tree of desktop
// entries and associations, compared with what `gio` itself reports for the
// same environment.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "e2e/helper_process.h"
#include "support/private_xdg_data.h"
#include "support/subprocess.h"

namespace glimra {
namespace {

using nlohmann::json;
using testing::PrivateXdgData;
using testing::ProcessResult;

// Runs the helper to its end in the tree's environment and checks what
// every run must satisfy: status 0, nothing on standard error, and exactly
// one line that matches the schema.
json listOpenWith(const PrivateXdgData& data, const std::string& path) {
  const ProcessResult result = testing::runProcess(
      GLIMRA_HELPER_BINARY,
      {.arguments = {"--list-open-with", "--path", path}, .environment = data.environment()});
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(testing::eventSchemaProblems(result.standardOutput), "");
  const std::vector<std::string> lines = testing::splitLines(result.standardOutput);
  if (lines.size() != 1) {
    ADD_FAILURE() << "expected one event:\n" << result.standardOutput;
    return json();
  }
  return json::parse(lines[0]);
}

std::string runGio(const PrivateXdgData& data, std::vector<std::string> arguments) {
  const ProcessResult result = testing::runProcess(
      "gio", {.arguments = std::move(arguments), .environment = data.environment()});
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  return result.standardOutput;
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  const std::size_t last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// The content type of `path` as `gio info` reads it.
std::string gioContentType(const PrivateXdgData& data, const std::string& path) {
  const std::string marker = "standard::content-type:";
  for (const std::string& line :
       testing::splitLines(runGio(data, {"info", "-a", "standard::content-type", path}))) {
    const std::size_t at = line.find(marker);
    if (at != std::string::npos) return trimmed(line.substr(at + marker.size()));
  }
  return "";
}

// The desktop ids `gio mime` reports for a type: the default application
// first, then the registered ones in their order without it again.
std::vector<std::string> gioHandlerIds(const PrivateXdgData& data, const std::string& type) {
  std::vector<std::string> ids;
  bool inRegistered = false;
  for (const std::string& line : testing::splitLines(runGio(data, {"mime", type}))) {
    if (line.starts_with("Default application for")) {
      ids.push_back(trimmed(line.substr(line.rfind(':') + 1)));
    } else if (!line.empty() && line[0] != '\t') {
      inRegistered = line.starts_with("Registered applications");
    } else if (inRegistered) {
      const std::string id = trimmed(line);
      if (ids.empty() || ids.front() != id) ids.push_back(id);
    }
  }
  return ids;
}

json application(const std::string& id, const std::string& label, const std::filesystem::path& path,
                 bool isWebBrowser) {
  return {{"id", id},
          {"label", label},
          {"applicationPath", path.string()},
          {"isWebBrowser", isWebBrowser ? "true" : "false"}};
}

TEST(ListOpenWithE2ETest, ATextFileListsItsEditorsDefaultFirstAndMarksTheBrowser) {
  PrivateXdgData data;
  const auto plainEditor = data.writeDesktopEntry("org.example.PlainEditor", "Name=Plain Editor\n");
  const auto codeEditor =
      data.writeDesktopEntry("org.example.CodeEditor", "Name=Code\nX-GNOME-FullName=Code Editor\n");
  const auto browser = data.writeDesktopEntry("org.example.Browser", "Name=Browser\n");
  const auto systemEditor =
      data.writeDesktopEntry("vendor/notepad", "Name=Notepad\nMimeType=text/plain;\n",
                             PrivateXdgData::DataDirectory::kSystem);
  data.writeDesktopEntry("org.example.OnlyWeb", "Name=Web Only\n");
  data.writeMimeApps(
      "[Default Applications]\n"
      "text/plain=org.example.CodeEditor.desktop\n"
      "[Added Associations]\n"
      "text/plain=org.example.PlainEditor.desktop;org.example.CodeEditor.desktop;"
      "org.example.Browser.desktop;\n"
      "x-scheme-handler/https=org.example.OnlyWeb.desktop;org.example.Browser.desktop;\n");
  data.writeMimeInfoCache("[MIME Cache]\ntext/plain=vendor-notepad.desktop;\n");
  const std::filesystem::path notes = data.writeDocument("meeting notes.txt", "Agenda\n");

  const json event = listOpenWith(data, notes.string());

  EXPECT_EQ(event,
            (json{{"type", "openWithApplications"},
                  {"applications",
                   {application("org.example.CodeEditor", "Code Editor", codeEditor, false),
                    application("org.example.PlainEditor", "Plain Editor", plainEditor, false),
                    application("org.example.Browser", "Browser", browser, true),
                    application("vendor-notepad", "Notepad", systemEditor, false)}}}));

  // gio, in the same environment, reads the same type and the same order.
  const std::string type = gioContentType(data, notes.string());
  EXPECT_EQ(type, "text/plain");
  std::vector<std::string> listed;
  for (const json& entry : event["applications"]) {
    listed.push_back(entry["id"].get<std::string>() + ".desktop");
  }
  EXPECT_EQ(listed, gioHandlerIds(data, type));
}

TEST(ListOpenWithE2ETest, KeepsFiveBrowsersAndFiveOthersInTheRegistrysOrder) {
  PrivateXdgData data;
  std::string fileHandlers;
  std::string webHandlers;
  for (int number = 1; number <= 7; ++number) {
    const std::string browser = "browser" + std::to_string(number);
    const std::string editor = "editor" + std::to_string(number);
    data.writeDesktopEntry(browser, "Name=Browser " + std::to_string(number) + "\n");
    data.writeDesktopEntry(editor, "Name=Editor " + std::to_string(number) + "\n");
    fileHandlers += browser + ".desktop;" + editor + ".desktop;";
    webHandlers += browser + ".desktop;";
  }
  data.writeMimeApps("[Added Associations]\ntext/csv=" + fileHandlers +
                     "\nx-scheme-handler/https=" + webHandlers + "\n");
  const std::filesystem::path table = data.writeDocument("table.csv", "a,b\n1,2\n");

  const json event = listOpenWith(data, table.string());

  std::vector<std::string> ids;
  for (const json& entry : event["applications"]) {
    ids.push_back(entry["id"]);
    EXPECT_EQ(entry["isWebBrowser"],
              entry["id"].get<std::string>().starts_with("browser") ? "true" : "false");
  }
  EXPECT_EQ(ids,
            (std::vector<std::string>{"browser1", "editor1", "browser2", "editor2", "browser3",
                                      "editor3", "browser4", "editor4", "browser5", "editor5"}));
}

TEST(ListOpenWithE2ETest, AFileThatDoesNotExistHasNoApplications) {
  PrivateXdgData data;
  data.writeDesktopEntry("editor", "Name=Editor\n");
  data.writeMimeApps("[Added Associations]\ntext/plain=editor.desktop;\n");

  EXPECT_EQ(listOpenWith(data, (data.root() / "documents" / "missing.txt").string()),
            json::parse(R"({"type":"openWithApplications","applications":[]})"));
}

}  // namespace
}  // namespace glimra
