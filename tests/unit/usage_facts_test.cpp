#include <gtest/gtest.h>

#include <chrono>

#include "support/test_environment.h"
#include "usage/system_facts.h"

namespace {

using namespace std::chrono;

TEST(UsageFactsMemory, RoundsToHalvesAndWritesTwoDecimals) {
    struct Case {
        double gibibytes;
        const char* text;
    };
    for (const Case& c : {Case{8, "8.00"}, Case{8.45, "8.50"}, Case{8.85, "9.00"},
                          Case{15.9, "16.00"}, Case{7.6, "7.50"}, Case{7.3, "7.00"},
                          Case{0.25, "0.00"}, Case{31.5, "31.50"}, Case{1023.99, "1024.00"}}) {
        EXPECT_EQ(PhysicalMemoryText(c.gibibytes), c.text) << c.gibibytes;
    }
}

TEST(UsageFactsMemory, ConvertsBytesToGibibytes) {
    EXPECT_EQ(PhysicalMemoryTextFromBytes(8ull << 30), "8.00");
    // 16 GiB less what the firmware keeps back still reads as 16.
    EXPECT_EQ(PhysicalMemoryTextFromBytes((16ull << 30) - (150ull << 20)), "16.00");
    EXPECT_EQ(PhysicalMemoryTextFromBytes(0), "0.00");
}

TEST(UsageFactsPartitionKey, IsTheUtcTimeAsFourteenDigits) {
    EXPECT_EQ(PartitionKeyText(sys_days{2024y / March / 5} + 14h + 7min + 9s), "20240305140709");
    EXPECT_EQ(PartitionKeyText(sys_days{2000y / January / 1}), "20000101000000");
    EXPECT_EQ(PartitionKeyText(sys_days{2023y / December / 31} + 23h + 59min + 59s),
              "20231231235959");
}

TEST(UsageFactsMachineId, FormatsAsLowerCaseGuid) {
    struct Case {
        const char* content;
        const char* guid;  // empty: not an identifier
    };
    for (const Case& c : {
             Case{"3d1219c7c4c5404aaa1f6d2a48adfda4\n", "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"},
             Case{"3D1219C7C4C5404AAA1F6D2A48ADFDA4", "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"},
             Case{"  0123456789abcdef0123456789abcdef \r\n",
                  "01234567-89ab-cdef-0123-456789abcdef"},
             Case{"3d1219c7c4c5404aaa1f6d2a48adfda", ""},
             Case{"3d1219c7c4c5404aaa1f6d2a48adfda4a", ""},
             Case{"3d1219c7-c4c5-404a-aa1f-6d2a48adfda4", ""},
             Case{"zd1219c7c4c5404aaa1f6d2a48adfda4", ""},
             Case{"", ""},
         }) {
        EXPECT_EQ(GuidFromMachineId(c.content), c.guid) << c.content;
    }
}

class UsageFactsMachineIdFile : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const std::string& content) {
        WriteFileBytes(mFolder.path() / name, content);
        return (mFolder.path() / name).string();
    }

    TempDir mFolder;
};

TEST_F(UsageFactsMachineIdFile, ReadsTheIdentifier) {
    EXPECT_EQ(MachineGuidFromFile(Write("machine-id", "3d1219c7c4c5404aaa1f6d2a48adfda4\n")),
              "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4");
}

TEST_F(UsageFactsMachineIdFile, UnreadableOrInvalidGivesTheErrorText) {
    EXPECT_EQ(MachineGuidFromFile((mFolder.path() / "missing").string()),
              "Cannot query, error: 2 last error: 2");
    EXPECT_EQ(MachineGuidFromFile(Write("machine-id", "uninitialized\n"))
                  .rfind("Cannot query, error: 22 last error: ", 0),
              0u);
    // A folder in the identifier's place cannot be read as a file.
    EXPECT_EQ(MachineGuidFromFile(mFolder.path().string()).rfind("Cannot query, error: ", 0), 0u);
}

TEST(UsageFactsLocale, TakesCountryAndNameFromThePosixLocaleName) {
    struct Case {
        const char* posixName;
        const char* country;
        const char* name;
    };
    for (const Case& c : {
             Case{"de_DE.UTF-8", "DE", "de-DE"},
             Case{"en_US", "US", "en-US"},
             Case{"sr_RS@latin", "RS", "sr-RS"},
             Case{"fil_PH.UTF-8", "PH", "fil-PH"},
             Case{"de", "<unkown>", "de"},
             Case{"de_Deutschland", "<unkown>", "de"},
             Case{"C", "<unkown>", "<unkown>"},
             Case{"C.UTF-8", "<unkown>", "<unkown>"},
             Case{"POSIX", "<unkown>", "<unkown>"},
             Case{"", "<unkown>", "<unkown>"},
         }) {
        LocaleFacts facts = LocaleFactsFromName(c.posixName);
        EXPECT_EQ(facts.geoId, "<unkown>") << c.posixName;
        EXPECT_EQ(facts.iso3166Country, c.country) << c.posixName;
        EXPECT_EQ(facts.localeName, c.name) << c.posixName;
    }
}

TEST(UsageFactsEntity, SetsTheTenMachineMembersAsStrings) {
    MachineFacts facts;
    facts.osMajor = 6;
    facts.osMinor = 1;
    facts.physicalMemoryBytes = 8ull << 30;
    facts.machineGuid = "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4";
    facts.wow64 = true;
    facts.recordId = "5b0b5a4e-daf1-11ee-8000-0242ac120002";
    nlohmann::json entity = {{"OS_Major", "stale"}, {"product", "Vireo"}};
    AddSystemFacts(entity, facts, sys_days{2024y / March / 5} + 14h + 7min + 9s);

    const nlohmann::json expected = {
        {"OS_Major", "6"},
        {"OS_Minor", "1"},
        {"SP_Major", "0"},
        {"SP_Minor", "0"},
        {"physicalmemory_gib", "8.00"},
        {"machineguid", "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"},
        {"architecture", "x64"},
        {"PartitionKey", "20240305140709"},
        {"RowKey", "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"},
        {"record_id", "5b0b5a4e-daf1-11ee-8000-0242ac120002"},
        {"product", "Vireo"},
    };
    EXPECT_EQ(entity, expected);

    facts.wow64 = false;
    AddSystemFacts(entity, facts, sys_days{2024y / March / 5});
    EXPECT_EQ(entity["architecture"], "x86");
}

TEST(UsageFactsEntity, UnreadableMachineIdIsTheValueOfBothKeys) {
    MachineFacts facts;
    facts.machineGuid = MachineGuidErrorText(2, 2);
    nlohmann::json entity = nlohmann::json::object();
    AddSystemFacts(entity, facts, sys_days{2024y / March / 5});
    EXPECT_EQ(entity["machineguid"], "Cannot query, error: 2 last error: 2");
    EXPECT_EQ(entity["RowKey"], "Cannot query, error: 2 last error: 2");
}

TEST(UsageFactsEntity, SetsTheThreeLocaleMembers) {
    nlohmann::json entity = nlohmann::json::object();
    AddLocaleFacts(entity, LocaleFactsFromName("de_AT.UTF-8"));
    const nlohmann::json expected = {
        {"geo_id", "<unkown>"}, {"iso3166_country", "AT"}, {"locale_sname", "de-AT"}};
    EXPECT_EQ(entity, expected);
}

TEST(UsageFactsPlatform, ReportsThisMachine) {
    MachineFacts facts = QueryMachineFacts();
    EXPECT_GT(facts.osMajor, 0u);
    EXPECT_GT(facts.physicalMemoryBytes, 0u);
    EXPECT_FALSE(facts.machineGuid.empty());

    // Time-based identifiers: version 1, distinct, lower case; also on a machine without the
    // uuid daemon that the safe form needs.
    std::string first = NewRecordId();
    std::string second = NewRecordId();
    for (const std::string& id : {first, second}) {
        ASSERT_EQ(id.size(), 36u);
        EXPECT_EQ(id[14], '1') << id;
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos) << id;
    }
    EXPECT_NE(first, second);
}

}  // namespace
