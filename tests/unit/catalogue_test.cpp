#include <gtest/gtest.h>

#include "catalogue/release_selection.h"
#include "core/json_reader.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "support/scripted_dialogs.h"
#include "support/setup_log_reader.h"
#include "support/test_environment.h"
#include "ui/version_selection.h"

namespace {
TEST(JsonReader, StrictDocumentsOnly) {
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"{}", true},
        {" [1, 2] ", true},
        {"null", true},
        {"{\"a\": 1} // note", false},
        {"{/* c */}", false},
        {"{} {}", false},
        {"\xEF\xBB\xBF{}", false},
        {"{\"a\": 1,}", false},
        {"", false},
    };
    for (const Case& c : cases) {
        std::string error;
        JsonValue value = JsonValue::Parse(c.text, &error);
        EXPECT_EQ(!value.IsNull() || std::string(c.text) == "null", c.valid) << c.text;
        EXPECT_EQ(error.empty(), c.valid) << c.text;
    }
}

TEST(JsonReader, ReadingRules) {
    JsonValue doc = JsonValue::Parse(R"({
        "big": 5368709120, "half": 1048576.5, "minus": -1, "minusHalf": -0.5,
        "text": "5", "list": [1, "x"], "twice": 1, "twice": 2,
        "b": 0, "a": 0, "B": 0
    })");
    EXPECT_EQ(doc["big"].Number(), 5368709120u);
    EXPECT_EQ(doc["half"].Number(), 1048576u);
    EXPECT_EQ(doc["minus"].Number(), 18446744073709551615u);
    EXPECT_EQ(doc["minusHalf"].Number(), 0u);
    EXPECT_EQ(doc["text"].Number(), 0u);
    EXPECT_EQ(doc["big"].String(), "");
    EXPECT_EQ(doc["missing"]["deeper"].String(), "");
    EXPECT_TRUE(doc["missing"].IsNull());
    EXPECT_TRUE(doc["list"].Members().empty());
    EXPECT_EQ(doc["list"].Elements().size(), 2u);
    EXPECT_EQ(doc["twice"].Number(), 2u);
    std::vector<std::string> names;
    for (const auto& [name, value] : doc.Members()) names.push_back(name);
    EXPECT_EQ(names.front(), "B");  // byte order: capitals first
    EXPECT_EQ(names[1], "a");
    // A root that is no object reads as if every member were missing.
    EXPECT_TRUE(JsonValue::Parse("[1]")["releases"].IsNull());
    EXPECT_EQ(DoubleToUnsigned64(18446744073709549568.0), 18446744073709549568u);
}

TEST(ReleaseVersionNumber, FoldsPartsByTen) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"2024", 2024},  {"2024.1", 20241}, {"2023.10", 20240},    {"2024.0", 20240},
        {"1.2.3", 123},  {"2025", 2025},    {"2024.1beta", 20241}, {"", 0},
        {"2024.", 2024}, {"1..2", 102},     {" 7.-1", 69},         {"x.5", 5},
    };
    for (const auto& [key, number] : cases) {
        EXPECT_EQ(ReleaseVersionNumber(key), number) << key;
    }
}

std::vector<std::string> Keys(const std::vector<ReleaseChoice>& choices) {
    std::vector<std::string> keys;
    for (const auto& choice : choices) keys.push_back(choice.key);
    return keys;
}

TEST(OfferedReleases, CurrentFirstThenOlderInNameOrder) {
    using Keys_ = std::vector<std::string>;
    struct Case {
        const char* index;
        Keys_ offered;
    };
    const Case cases[] = {
        {R"({"current_release": "2024.1", "releases": {"2025.0": {}, "2024.1": {}, "2024.0": {},
             "2023.0": {}}})",
         {"2024.1", "2023.0", "2024.0"}},
        {R"({"current_release": "2024.1", "releases": {"2025": {}, "2024.1": {}}})",
         {"2024.1", "2025"}},
        {R"({"current_release": "2024.0", "releases": {"2023.10": {}, "2024.0": {}}})", {"2024.0"}},
        {R"({"current_release": "2024.1", "forbid_release_selection": false,
             "releases": {"2024.1": {}, "2023.0": {}}})",
         {"2024.1"}},
        {R"({"current_release": "2024.1", "forbid_release_selection": 0,
             "releases": {"2024.1": {}, "2023.0": {}}})",
         {"2024.1"}},
        {R"({"current_release": "2024.1", "forbid_release_selection": null,
             "releases": {"2024.1": {}, "2023.0": {}}})",
         {"2024.1", "2023.0"}},
        {R"({"releases": {"2024.1": {}, "a": {}}})", {""}},
        {R"({})", {""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Keys(OfferedReleases(JsonValue::Parse(c.index))), c.offered) << c.index;
    }
}

class SelectReleaseTest : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    ScopedEnv home{"HOME", dir.path().string()};
    ScopedEnv xdg{"XDG_DOWNLOAD_DIR", std::nullopt};
    ScopedEnv lcAll{"LC_ALL", std::nullopt};
    ScopedEnv lcMessages{"LC_MESSAGES", std::nullopt};
    ScopedEnv lang{"LANG", "de_DE.UTF-8"};
    ScriptedViews views;
    ScopedViews scoped{views};

    const ProductCatalog catalog = JsonValue::Parse(R"({
        "current_release": "2024.1",
        "releases": {
            "2024.1": {"release": "Tarnwick 2024.1", "containername": "tw", "required_setup": 5,
                       "filename": "rel.zip", "hash": "h", "filesize": 10, "blockhash": "b",
                       "blocksize": 4,
                       "languages": {"de-DE": {"filename": "de.zip", "hash": "hd"},
                                     "en-US": {"filename": "en.zip", "hash": "he",
                                               "filesize": 7, "blocksize": 2, "blockhash": "bh"}}},
            "2023.0": {"release": "Tarnwick 2023", "containername": "old", "filetype": "iso",
                       "required_setup": "6", "filename": "old.iso", "filesize": 5368709120}
        }
    })");
};

TEST_F(SelectReleaseTest, ChosenLanguageEditionCarriesItsOwnFileData) {
    views.onVersion = [](VersionSelectionDlg& dialog) {
        EXPECT_EQ(dialog.LanguageCodes(), (std::vector<std::string>{"de-DE", "en-US"}));
        EXPECT_EQ(dialog.LanguageSelection(), 0);  // German interface
        dialog.OnOK(1, true);
        return true;
    };
    SetupSelection s = SelectRelease(catalog, "tarnwick-x64-sql");
    EXPECT_EQ(s.product, u"tarnwick-x64-sql");
    EXPECT_EQ(s.version, "2024.1");
    EXPECT_EQ(s.containername, "tw");
    EXPECT_EQ(s.required_setup, 5u);
    EXPECT_EQ(s.filetype, "arc");
    EXPECT_EQ(s.filename, "en.zip");
    EXPECT_EQ(s.hash, "he");
    EXPECT_EQ(s.filesize, 7u);
    EXPECT_EQ(s.blocksize, 2u);
    EXPECT_EQ(s.blockhash, "bh");
    EXPECT_TRUE(s.download_only);
    EXPECT_EQ(s.destination, ToUtf16(dir.path().string() + "/Downloads/"));
}

TEST_F(SelectReleaseTest, LanguageObjectsInheritNothing) {
    views.onVersion = [](VersionSelectionDlg& dialog) {
        dialog.OnOK(0, false);
        return true;
    };
    SetupSelection s = SelectRelease(catalog, "p");
    EXPECT_EQ(s.filename, "de.zip");
    EXPECT_EQ(s.filesize, 0u);
    EXPECT_EQ(s.blocksize, 0u);
    EXPECT_EQ(s.blockhash, "");
}

TEST_F(SelectReleaseTest, OlderReleaseWithoutLanguagesKeepsItsFiletype) {
    views.onVersion = [](VersionSelectionDlg& dialog) {
        dialog.OnVersionChanged(1);
        EXPECT_FALSE(dialog.LanguageListVisible());
        EXPECT_TRUE(dialog.LanguageCodes().empty());
        dialog.OnOK(0, false);
        return true;
    };
    SetupSelection s = SelectRelease(catalog, "p");
    EXPECT_EQ(s.version, "2023.0");
    EXPECT_EQ(s.filetype, "iso");
    EXPECT_EQ(s.required_setup, 0u);  // a string reads as 0
    EXPECT_EQ(s.filesize, 5368709120u);
    EXPECT_EQ(s.filename, "old.iso");
}

TEST_F(SelectReleaseTest, CancelLogsAndThrowsAbort) {
    views.onVersion = [](VersionSelectionDlg&) { return false; };
    EXPECT_THROW(SelectRelease(catalog, "p"), AbortException);
    EXPECT_TRUE(HasRecordFromASite(SetupLogText(), "throwing AbortException"));
}
}  // namespace
