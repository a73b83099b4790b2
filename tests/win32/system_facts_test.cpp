// What Windows reports about the machine and the user: the facts of a usage event in their
// formats, the bitness, the interface language and Downloads folder, and the drive roots that
// mounting an image compares.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>

#include "core/machine_bitness.h"
#include "install/iso_mount.h"
#include "ui/user_environment.h"
#include "usage/system_facts.h"
#include "win32_test_support.h"

namespace {

const std::regex kGuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}",
                       std::regex::icase);

TEST(Win32Facts, MachineFactsHaveTheirFormats) {
    const MachineFacts facts = QueryMachineFacts();
    EXPECT_GE(facts.osMajor, 5u);
    EXPECT_GT(facts.physicalMemoryBytes, 0u);
    EXPECT_TRUE(std::regex_match(facts.machineGuid, kGuid)) << facts.machineGuid;
    // The test program is a 64-bit build, so the machine is a 64-bit one.
    EXPECT_TRUE(facts.wow64);
    EXPECT_TRUE(IsRunningOnWow64());
    // Empty only when the identifier would be unique on this computer alone (no network card).
    if (!facts.recordId.empty()) {
        EXPECT_TRUE(std::regex_match(facts.recordId, std::regex("[0-9a-f-]{36}")));
        EXPECT_TRUE(std::regex_match(facts.recordId, kGuid)) << facts.recordId;
        EXPECT_NE(NewRecordId(), facts.recordId);
    }
}

TEST(Win32Facts, LocaleFactsOfTheSystemDefaultLocale) {
    const LocaleFacts facts = QuerySystemLocaleFacts();
    EXPECT_TRUE(std::regex_match(facts.geoId, std::regex("[0-9]+"))) << facts.geoId;
    EXPECT_TRUE(std::regex_match(facts.iso3166Country, std::regex("[A-Z]{2}")))
        << facts.iso3166Country;
    EXPECT_TRUE(std::regex_match(facts.localeName, std::regex("[a-z]{2,3}(-[A-Za-z]+)*")))
        << facts.localeName;
}

TEST(Win32Facts, EntityCarriesEveryFactAsText) {
    nlohmann::json entity = nlohmann::json::object();
    AddSystemFacts(entity,
                   std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
    AddLocaleFacts(entity);
    for (const char* name : {"OS_Major", "OS_Minor", "SP_Major", "SP_Minor", "physicalmemory_gib",
                             "machineguid", "architecture", "PartitionKey", "RowKey", "record_id",
                             "geo_id", "iso3166_country", "locale_sname"}) {
        ASSERT_TRUE(entity.contains(name)) << name;
        EXPECT_TRUE(entity[name].is_string()) << name;
    }
    EXPECT_EQ(entity["architecture"], "x64");
    EXPECT_EQ(entity["RowKey"], entity["machineguid"]);
    EXPECT_TRUE(std::regex_match(entity["physicalmemory_gib"].get<std::string>(),
                                 std::regex("[0-9]+\\.(00|50)")));
    EXPECT_TRUE(
        std::regex_match(entity["PartitionKey"].get<std::string>(), std::regex("20[0-9]{12}")));
}

TEST(Win32Environment, InterfaceLanguageAndDownloadsFolder) {
    EXPECT_NE(UserDefaultUILanguage(), 0);
    EXPECT_EQ(LocaleNameToLcid(u"de-DE"), 0x0407u);
    EXPECT_EQ(PrimaryLanguage(LocaleNameToLcid(u"en-US")), 0x09u);
    EXPECT_EQ(LocaleNameToLcid(u"xx-no-such-locale"), 0u);
    EXPECT_EQ(LocaleNameToLcid(u""), 0u);

    const std::u16string downloads = DownloadsFolder();
    ASSERT_GT(downloads.size(), 3u);
    EXPECT_EQ(downloads.substr(1, 2), u":\\");
    EXPECT_NE(downloads.back(), u'\\');
}

TEST(Win32Mount, DriveRootsAndAMissingImage) {
    const ImageMountPlatform platform = PlatformImageMount();
    const std::vector<std::u16string> before = platform.listMountPoints();
    EXPECT_NE(std::find(before.begin(), before.end(), u"C:\\"), before.end());
    for (const std::u16string& root : before) {
        EXPECT_EQ(root.size(), 3u);
        EXPECT_EQ(root.substr(1), u":\\");
    }
    // An image that cannot be opened attaches nothing and reports nothing.
    TempFolder folder;
    platform.attachReadOnly(folder / u"fehlt.iso");
    EXPECT_EQ(platform.listMountPoints(), before);
}

}  // namespace
