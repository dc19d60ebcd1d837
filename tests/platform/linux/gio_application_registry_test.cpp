// The GIO application registry against a private tree of desktop entries
// and associations. GLib reads the XDG variables once per process and GIO
// lists the entries once, so main() writes the whole tree and names it in
// the environment before the first test; every test reads the same tree.
#include "platform/linux/gio_application_registry.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "support/private_xdg_data.h"

namespace glimra {
namespace {

using testing::PrivateXdgData;
using DataDirectory = PrivateXdgData::DataDirectory;
namespace fs = std::filesystem;

// The tree every test reads, and the documents of the tests.
struct RegistryTree {
  PrivateXdgData data;
  fs::path editorA, editorB, browser, otherBrowser, systemEditor, viewer;
  fs::path fullName, localized, nameless, emptyName, vendorTool, broken;
  fs::path notes, picture, binary, stray;

  RegistryTree() {
    editorA = data.writeDesktopEntry("editor-a", "Name=Editor A\n");
    editorB = data.writeDesktopEntry("editor-b", "Name=Editor B\n");
    browser = data.writeDesktopEntry("browser", "Name=Browser\n");
    otherBrowser = data.writeDesktopEntry("other-browser", "Name=Other Browser\n");
    viewer = data.writeDesktopEntry("viewer", "Name=Viewer\n");
    systemEditor = data.writeDesktopEntry(
        "sys-editor", "Name=System Editor\nMimeType=text/plain;\n", DataDirectory::kSystem);
    fullName = data.writeDesktopEntry("full", "Name=Short\nX-GNOME-FullName=Full Name\n");
    localized = data.writeDesktopEntry(
        "localized", "Name=Viewer\nName[fr]=Visionneuse\nX-GNOME-FullName[fr]=La Visionneuse\n");
    nameless = data.writeDesktopEntry("nameless", "");
    emptyName = data.writeDesktopEntry("empty-name", "Name=\n");
    vendorTool = data.writeDesktopEntry("vendor/tool", "Name=Tool\n");
    broken = data.root() / "data" / "applications" / "broken.desktop";
    std::ofstream(broken) << "Name=No group\n";
    stray = data.writeDocument("stray.desktop", "[Desktop Entry]\nType=Application\nName=Stray\n");

    data.writeMimeApps(
        "[Default Applications]\n"
        "text/plain=editor-b.desktop\n"
        "[Added Associations]\n"
        "text/plain=editor-a.desktop;editor-b.desktop;browser.desktop;\n"
        "image/png=viewer.desktop;vendor-tool.desktop;\n"
        "x-scheme-handler/https=browser.desktop;other-browser.desktop;\n");
    data.writeMimeInfoCache("[MIME Cache]\ntext/plain=sys-editor.desktop;\n");

    notes = data.writeDocument("notes.txt", "Meeting notes\n");
    // No extension: the type comes from the contents, a PNG signature.
    picture = data.writeDocument("picture", std::string("\x89PNG\r\n\x1a\n", 8) + "\0\0\0\rIHDR");
    binary = data.writeDocument("blob.unknown-extension", std::string("\x01\x02\xFE\xFF\x00", 5));
  }

  void nameInEnvironment() const {
    for (const auto& [name, value] : data.environment()) {
      value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
  }
};

RegistryTree* tree = nullptr;

RegistryElement at(const fs::path& path) { return RegistryElement{path.string()}; }

class GioApplicationRegistryTest : public ::testing::Test {
 protected:
  GioApplicationRegistry registry_;
};

TEST_F(GioApplicationRegistryTest, AFilesHandlersComeDefaultFirstThenInGiosOrder) {
  EXPECT_EQ(registry_.applicationsForFile(tree->notes),
            (std::vector<RegistryElement>{at(tree->editorB), at(tree->editorA), at(tree->browser),
                                          at(tree->systemEditor)}));
}

TEST_F(GioApplicationRegistryTest, TheContentTypeComesFromTheContentsWhenTheNameSaysNothing) {
  EXPECT_EQ(registry_.applicationsForFile(tree->picture),
            (std::vector<RegistryElement>{at(tree->viewer), at(tree->vendorTool)}));
}

TEST_F(GioApplicationRegistryTest, ATypeWithoutHandlersIsAnEmptyAnswer) {
  EXPECT_EQ(registry_.applicationsForFile(tree->binary), std::vector<RegistryElement>{});
}

TEST_F(GioApplicationRegistryTest, AFileThatDoesNotExistHasNoAnswer) {
  EXPECT_EQ(registry_.applicationsForFile(tree->data.root() / "documents" / "missing.txt"),
            std::nullopt);
}

TEST_F(GioApplicationRegistryTest, WebViewersAreTheHandlersOfTheScheme) {
  const std::vector<RegistryElement> browsers{at(tree->browser), at(tree->otherBrowser)};
  EXPECT_EQ(registry_.viewersOfWebAddress("https://www.example.com/"), browsers);
  EXPECT_EQ(registry_.viewersOfWebAddress("HTTPS://www.example.com/page?q=1"), browsers);
  EXPECT_EQ(registry_.viewersOfWebAddress("gopher://example.com/"), std::vector<RegistryElement>{});
  EXPECT_EQ(registry_.viewersOfWebAddress("not an address"), std::nullopt);
  EXPECT_EQ(registry_.viewersOfWebAddress(""), std::nullopt);
}

TEST_F(GioApplicationRegistryTest, PathsAreStandardizedTextually) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/share/applications/a.desktop", "/usr/share/applications/a.desktop"},
      {"/usr/share//applications/./a.desktop", "/usr/share/applications/a.desktop"},
      {"/usr/share/applications/kde/../a.desktop/", "/usr/share/applications/a.desktop"},
      {"/../a.desktop", "/a.desktop"},
      {"/opt/bad\xFF.desktop", "/opt/bad\xEF\xBF\xBD.desktop"},
  };
  for (const auto& [location, standardized] : cases) {
    EXPECT_EQ(registry_.standardizedPath(location), standardized) << location;
  }
}

struct OpenCase {
  const char* label;
  fs::path RegistryTree::*entry;
  std::optional<ApplicationDescription> description;
};

TEST_F(GioApplicationRegistryTest, OpeningReadsTheNamesAndTheDesktopId) {
  const OpenCase cases[] = {
      {"display name and name", &RegistryTree::fullName,
       ApplicationDescription{"Full Name", "Short", "full"}},
      {"name only", &RegistryTree::editorA,
       ApplicationDescription{std::nullopt, "Editor A", "editor-a"}},
      {"no name", &RegistryTree::nameless,
       ApplicationDescription{std::nullopt, std::nullopt, "nameless"}},
      {"an empty name", &RegistryTree::emptyName,
       ApplicationDescription{std::nullopt, "", "empty-name"}},
      {"in a subdirectory", &RegistryTree::vendorTool,
       ApplicationDescription{std::nullopt, "Tool", "vendor-tool"}},
      {"in a system directory", &RegistryTree::systemEditor,
       ApplicationDescription{std::nullopt, "System Editor", "sys-editor"}},
      {"outside the data directories", &RegistryTree::stray,
       ApplicationDescription{std::nullopt, "Stray", std::nullopt}},
      {"not a desktop entry", &RegistryTree::broken, std::nullopt},
      {"not there", &RegistryTree::notes, std::nullopt},
  };
  const fs::path missing = tree->data.root() / "data" / "applications" / "missing.desktop";
  for (const OpenCase& c : cases) {
    EXPECT_EQ(registry_.openApplication((tree->*c.entry).string()), c.description) << c.label;
  }
  EXPECT_EQ(registry_.openApplication(missing.string()), std::nullopt);
}

TEST_F(GioApplicationRegistryTest, NamesAreInTheUsersLanguage) {
  const char* previous = std::getenv("LANGUAGE");
  const std::optional<std::string> saved =
      previous ? std::optional<std::string>(previous) : std::nullopt;
  ::setenv("LANGUAGE", "fr", 1);
  const std::optional<ApplicationDescription> french =
      registry_.openApplication(tree->localized.string());
  ::setenv("LANGUAGE", "C", 1);
  const std::optional<ApplicationDescription> untranslated =
      registry_.openApplication(tree->localized.string());
  saved ? ::setenv("LANGUAGE", saved->c_str(), 1) : ::unsetenv("LANGUAGE");

  EXPECT_EQ(french, (ApplicationDescription{"La Visionneuse", "Visionneuse", "localized"}));
  EXPECT_EQ(untranslated, (ApplicationDescription{std::nullopt, "Viewer", "localized"}));
}

TEST_F(GioApplicationRegistryTest, TheDesktopIdIsTheOneGioGives) {
  int compared = 0;
  for (const char* contentType : {"text/plain", "image/png", "x-scheme-handler/https"}) {
    const std::unique_ptr<GList, void (*)(GList*)> handlers(
        g_app_info_get_all_for_type(contentType),
        [](GList* list) { g_list_free_full(list, g_object_unref); });
    for (GList* item = handlers.get(); item != nullptr; item = item->next) {
      const char* filename = g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(item->data));
      ASSERT_NE(filename, nullptr);
      const std::optional<std::string> id = desktopIdOfEntryFile(filename);
      ASSERT_TRUE(id.has_value()) << filename;
      EXPECT_EQ(*id + ".desktop", g_app_info_get_id(G_APP_INFO(item->data)));
      ++compared;
    }
  }
  EXPECT_EQ(compared, 8);  // every entry with an association
  EXPECT_EQ(desktopIdOfEntryFile(
                (tree->data.root() / "data/applications/./kde/../editor-a.desktop").string()),
            "editor-a");
  EXPECT_EQ(desktopIdOfEntryFile((tree->data.root() / "data/applications/notes.txt").string()),
            std::nullopt);
  EXPECT_EQ(desktopIdOfEntryFile(tree->stray.string()), std::nullopt);
}

TEST_F(GioApplicationRegistryTest, TheApplicationPathSuffixIsThatOfDesktopEntries) {
  EXPECT_EQ(registry_.applicationPathSuffix(), ".desktop");
}

}  // namespace
}  // namespace glimra

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  glimra::RegistryTree registryTree;
  registryTree.nameInEnvironment();
  glimra::tree = &registryTree;
  return RUN_ALL_TESTS();
}
