// Reading "arcinfo.json" and "arcconfig.json" from a package, and choosing the start command.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "install/archive.h"
#include "install/archive_descriptors.h"
#include "support/package_builder.h"
#include "support/scripted_dialogs.h"
#include "support/test_environment.h"
#include "ui/language_selection.h"

namespace {

// Writes a package with the given members and opens it.
class OpenedPackage {
  public:
    explicit OpenedPackage(const PackageBuilder& builder) {
        builder.Write(mDir.path() / "package.zip");
        mArchive = OpenArchive(mDir.folder() + u"package.zip");
    }
    zip_t* get() const { return mArchive.get(); }

  private:
    TempDir mDir;
    ArchiveHandle mArchive;
};

struct DescriptorCase {
    const char* name;
    std::string member;
    std::string text;
    std::size_t entries;
};

class InstallArcInfoTest : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(InstallArcInfoTest, ReadsOnlyAWellFormedListAtTheRoot) {
    OpenedPackage package(PackageBuilder().Add(GetParam().member, GetParam().text));
    ASSERT_NE(package.get(), nullptr);
    EXPECT_EQ(ReadArcInfo(package.get()).size(), GetParam().entries);
}

const std::string kTwoEntries = R"([{"hash":"a","dst":["x"]},{"hash":"b","dst":["y"]}])";

INSTANTIATE_TEST_SUITE_P(
    Descriptors, InstallArcInfoTest,
    ::testing::Values(
        DescriptorCase{"Plain", "arcinfo.json", kTwoEntries, 2},
        DescriptorCase{"CapitalsAtTheRoot", "ARCINFO.JSON", kTwoEntries, 2},
        DescriptorCase{"InsideAFolder", "sub/arcinfo.json", kTwoEntries, 0},
        DescriptorCase{"OtherName", "arcinfo.json.bak", kTwoEntries, 0},
        DescriptorCase{"ByteOrderMark", "arcinfo.json", "\xEF\xBB\xBF" + kTwoEntries, 0},
        DescriptorCase{"TrailingComma", "arcinfo.json", R"([{"hash":"a","dst":["x"]},])", 0},
        DescriptorCase{"ObjectRoot", "arcinfo.json", R"({"hash":"a","dst":["x"]})", 0},
        DescriptorCase{"TextAfterZero", "arcinfo.json", kTwoEntries + std::string(1, '\0') + "{",
                       2},
        // Valid, but larger than a descriptor may be: not read into memory at all.
        DescriptorCase{"Oversized", "arcinfo.json",
                       "[" + std::string(kMaxDescriptorSize, ' ') + "]", 0}),
    [](const ::testing::TestParamInfo<DescriptorCase>& info) { return info.param.name; });

TEST(InstallDescriptorsTest, MistypedMembersReadAsEmpty) {
    OpenedPackage package(PackageBuilder().ArcInfo(
        R"([{"hash":"h1","dst":["a\\b.txt","c/d.txt"],"extra":1},
            {"hash":7,"dst":["x",3]},
            {"dst":"not a list"},
            "not an object"])"));

    const std::vector<ArcInfoEntry> entries = ReadArcInfo(package.get());

    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].hash, "h1");
    EXPECT_EQ(entries[0].destinations, (std::vector<std::u16string>{u"a\\b.txt", u"c/d.txt"}));
    EXPECT_EQ(entries[1].hash, "");
    EXPECT_EQ(entries[1].destinations, (std::vector<std::u16string>{u"x", u""}));
    EXPECT_TRUE(entries[2].destinations.empty());
    EXPECT_EQ(entries[3].hash, "");
}

TEST(InstallDescriptorsTest, ReadsStartCommandsLeniently) {
    OpenedPackage package(PackageBuilder().ArcConfig(
        R"({"startCommands":[{"language":"de","bitness":"x64","command":"de\\setup.exe",
                              "arguments":"/quiet"},
                             {"language":"*","bitness":1}],
            "other":true})"));

    EXPECT_EQ(ReadStartCommands(package.get()),
              (std::vector<StartCommand>{{"de", "x64", "de\\setup.exe"}, {"*", "", ""}}));

    for (const char* text : {R"([{"language":"*","bitness":"*","command":"a"}])",
                             R"({"startCommands":{"language":"*"}})", "{"}) {
        OpenedPackage other(PackageBuilder().ArcConfig(text));
        EXPECT_TRUE(ReadStartCommands(other.get()).empty()) << text;
    }
    OpenedPackage none(PackageBuilder().Add("readme.txt", "no descriptors"));
    EXPECT_TRUE(ReadStartCommands(none.get()).empty());
    EXPECT_TRUE(ReadArcInfo(none.get()).empty());
}

struct ChoiceCase {
    const char* name;
    std::vector<StartCommand> commands;
    const char* machine;               // "x64" or "x86"
    std::optional<int> languageEntry;  // the user's answer; nullopt: must not be asked
    StartCommand expected;
};

class InstallChooseStartCommandTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(InstallChooseStartCommandTest, Chooses) {
    const ChoiceCase& c = GetParam();
    ScriptedViews views;
    ScopedViews scoped(views);
    views.onLanguage = [&](LanguageSelectionDlg& dialog) {
        dialog.SelectEntry(c.languageEntry.value_or(0));
        return true;
    };

    EXPECT_EQ(ChooseStartCommand(c.commands, c.machine), c.expected);
    EXPECT_EQ(views.languageDialogs, c.languageEntry ? 1 : 0);
}

const StartCommand kAny{"*", "*", "any.exe"};
const StartCommand kDe64{"de", "x64", "de64.exe"};
const StartCommand kEn64{"en", "x64", "en64.exe"};
const StartCommand kAny86{"*", "x86", "any86.exe"};
const StartCommand kAny64{"*", "x64", "any64.exe"};
constexpr int kDeutsch = 0;
constexpr int kEnglish = 1;

INSTANTIATE_TEST_SUITE_P(
    Packages, InstallChooseStartCommandTest,
    ::testing::Values(
        ChoiceCase{"NeutralBeatsLanguage", {kDe64, kAny}, "x64", std::nullopt, kAny},
        ChoiceCase{"MachineDecides64", {kAny86, kAny64}, "x64", std::nullopt, kAny64},
        ChoiceCase{"MachineDecides86", {kAny86, kAny64}, "x86", std::nullopt, kAny86},
        ChoiceCase{"AskedGerman", {kEn64, kDe64}, "x64", kDeutsch, kDe64},
        ChoiceCase{"AskedEnglish", {kDe64, kEn64}, "x64", kEnglish, kEn64},
        ChoiceCase{"EmptyNeutralPassedOver", {{"*", "*", ""}, kAny64}, "x64", std::nullopt, kAny64},
        ChoiceCase{"BitnessCaseCounts",
                   {{"*", "X64", "caps.exe"}, {"de", "X64", "caps.exe"}},
                   "x64",
                   kDeutsch,
                   StartCommand{}},
        ChoiceCase{
            "FirstOfEqualsWins", {kAny, {"*", "*", "second.exe"}}, "x86", std::nullopt, kAny},
        ChoiceCase{"NothingMatches", {{"fr", "x64", "fr.exe"}}, "x64", kEnglish, StartCommand{}},
        // The answer of the question is taken as it is, even without a command.
        ChoiceCase{"AskedEntryWithoutCommand",
                   {{"de", "x86", ""}, kAny64},
                   "x86",
                   kDeutsch,
                   StartCommand{"de", "x86", ""}}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return info.param.name; });

}  // namespace
