#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "core/base64.h"
#include "core/clock.h"
#include "support/process_seams.h"
#include "usage/system_facts.h"
#include "usage/table_credentials.h"
#include "usage/usage_events.h"

namespace {

using namespace std::chrono;

const sys_seconds kMarchFifth = sys_days{2024y / March / 5} + 14h + 7min + 9s;

// The published development account of the local store.
TableCredentials DevelopmentCredentials() {
    return DecodeTableCredentials(
        "ZGV2c3RvcmVhY2NvdW50MQ==",
        "RWJ5OHZkTTAyeE5PY3FGbHFVd0pQTGxtRXRsQ0RYSjFPVXpGVDUwdVNSWjZJRnN1RnEyVVZFckN6NEk2dHEvSzFTW"
        "kZQVE90ci9LQkhCZWtzb0dNR3c9PQ==",
        "");
}

TEST(UsageEventsCredentials, ConstantEncoderMatchesBase64) {
    EXPECT_EQ(EncodeBase64Constant<0>("").View(), "");
    EXPECT_EQ(EncodeBase64Constant<4>("f").View(), "Zg==");
    EXPECT_EQ(EncodeBase64Constant<4>("fo").View(), "Zm8=");
    EXPECT_EQ(EncodeBase64Constant<4>("foo").View(), "Zm9v");
    EXPECT_EQ(EncodeBase64Constant<8>("foob").View(), "Zm9vYg==");
    EXPECT_EQ(EncodeBase64Constant<8>("foobar").View(), "Zm9vYmFy");
    const std::string bytes("\xff\x00\xfe", 3);
    EXPECT_EQ(EncodeBase64Constant<4>(bytes).View(), Base64Encode(bytes));
}

TEST(UsageEventsCredentials, StoredFormsDecodeToAccountAndKey) {
    TableCredentials credentials = DevelopmentCredentials();
    EXPECT_EQ(credentials.account, "devstoreaccount1");
    EXPECT_EQ(credentials.key.size(), 64u);
    EXPECT_TRUE(credentials.sasToken.empty());

    // The build's own stored forms are of the same kind: the key decodes twice to its 64 bytes.
    TableCredentials configured = ConfiguredTableCredentials();
    EXPECT_FALSE(configured.account.empty());
    EXPECT_EQ(StoredTableKey().size(), 120u);
    EXPECT_EQ(configured.key.size(), 64u);
    EXPECT_EQ(Base64Encode(configured.account), StoredTableAccount());
    EXPECT_EQ(Base64Encode(Base64Encode(configured.key)), StoredTableKey());

    // A stored form that does not decode leaves the value empty.
    EXPECT_TRUE(DecodeTableCredentials("#", "###", "").account.empty());
    EXPECT_TRUE(DecodeTableCredentials("ZGV2", "not base64!", "").key.empty());
    EXPECT_EQ(DecodeTableCredentials("", "", "?sv=2019-02-02&tn=downloads").sasToken,
              "sv=2019-02-02&tn=downloads");
}

TEST(UsageEventsSigning, DateIsEnglishUtcText) {
    EXPECT_EQ(UsageDateText(kMarchFifth), "Tue, 05 Mar 2024 14:07:09 GMT");
    EXPECT_EQ(UsageDateText(sys_days{2023y / December / 31} + 23h + 59min + 59s),
              "Sun, 31 Dec 2023 23:59:59 GMT");
}

TEST(UsageEventsSigning, StringToSignIsDateLineFeedAndResource) {
    EXPECT_EQ(TableStringToSign("Tue, 05 Mar 2024 14:07:09 GMT", "devstoreaccount1"),
              "Tue, 05 Mar 2024 14:07:09 GMT\n/devstoreaccount1/downloads");
}

TEST(UsageEventsSigning, HeadersInOrderWithSharedKeyLiteSignature) {
    const std::string body = "{\"OS_Major\": \"6\"}";
    TableInsert insert = BuildTableInsert(body, kMarchFifth, DevelopmentCredentials());
    EXPECT_EQ(insert.path, u"/downloads");
    EXPECT_EQ(insert.body, body);
    // The signature is HMAC-SHA-256 under the decoded key of exactly
    // "Tue, 05 Mar 2024 14:07:09 GMT\n/devstoreaccount1/downloads", computed independently.
    const std::vector<std::u16string> expected = {
        u"Content-Length: 17",
        u"x-ms-date: Tue, 05 Mar 2024 14:07:09 GMT",
        u"Authorization: SharedKeyLite "
        u"devstoreaccount1:iIi5Hf8jRZ6w8YJNwUNlU+AEOjo5cCXq7uXkPYYwbxI=",
        u"Content-Type: application/json",
        u"Accept: application/json;odata=fullmetadata",
        u"x-ms-version: 2016-05-31",
    };
    EXPECT_EQ(insert.headers, expected);
}

TEST(UsageEventsSigning, SasTokenGoesIntoTheQueryWithoutAuthorization) {
    TableCredentials credentials = DecodeTableCredentials(
        "ZGV2c3RvcmVhY2NvdW50MQ==", "", "?sv=2019-02-02&tn=downloads&sp=a&sig=abc%3D");
    TableInsert insert = BuildTableInsert("{}", kMarchFifth, credentials);
    EXPECT_EQ(insert.path, u"/downloads?sv=2019-02-02&tn=downloads&sp=a&sig=abc%3D");
    const std::vector<std::u16string> expected = {
        u"Content-Length: 2",
        u"x-ms-date: Tue, 05 Mar 2024 14:07:09 GMT",
        u"Content-Type: application/json",
        u"Accept: application/json;odata=fullmetadata",
        u"x-ms-version: 2016-05-31",
    };
    EXPECT_EQ(insert.headers, expected);
}

TEST(UsageEventsEntity, EventMembersWithEmptyDurationAsZero) {
    nlohmann::json entity = UsageEventEntity({u"Vireo", "2024.1", "begin", "", 5});
    const nlohmann::json expected = {{"product", "Vireo"},
                                     {"version", "2024.1"},
                                     {"version_setuplauncher", "5"},
                                     {"action", "begin"},
                                     {"duration", "0"}};
    EXPECT_EQ(entity, expected);
    EXPECT_EQ(UsageEventEntity({u"Vireo", "2024.1", "success", "59", 5})["duration"], "59");
}

TEST(UsageEventsEntity, BodyOrdersMembersByteWiseWithSpacedSeparators) {
    MachineFacts facts;
    facts.osMajor = 10;
    facts.physicalMemoryBytes = 16ull << 30;
    facts.machineGuid = "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4";
    facts.recordId = "";
    nlohmann::json entity = UsageEventEntity({u"Vireo", "2024.1", "success", "59", 5});
    AddSystemFacts(entity, facts, kMarchFifth);
    AddLocaleFacts(entity, LocaleFactsFromName("de_DE.UTF-8"));
    EXPECT_EQ(SerializeEntity(entity),
              "{\"OS_Major\": \"10\", \"OS_Minor\": \"0\", \"PartitionKey\": \"20240305140709\", "
              "\"RowKey\": \"3d1219c7-c4c5-404a-aa1f-6d2a48adfda4\", \"SP_Major\": \"0\", "
              "\"SP_Minor\": \"0\", \"action\": \"success\", \"architecture\": \"x86\", "
              "\"duration\": \"59\", \"geo_id\": \"<unkown>\", \"iso3166_country\": \"DE\", "
              "\"locale_sname\": \"de-DE\", \"machineguid\": "
              "\"3d1219c7-c4c5-404a-aa1f-6d2a48adfda4\", \"physicalmemory_gib\": \"16.00\", "
              "\"product\": \"Vireo\", \"record_id\": \"\", \"version\": \"2024.1\", "
              "\"version_setuplauncher\": \"5\"}");
}

TEST(UsageEventsEntity, BodyEscapesTextsAsJsonStrings) {
    nlohmann::json entity = UsageEventEntity({u"Vireo \"Pro\"\\\u00fc", "v\n1", "begin", "", 5});
    const std::string body = SerializeEntity(entity);
    EXPECT_NE(body.find("\"product\": \"Vireo \\\"Pro\\\"\\\\\xc3\xbc\""), std::string::npos)
        << body;
    EXPECT_NE(body.find("\"version\": \"v\\n1\""), std::string::npos) << body;
    // Invalid UTF-8 does not fail the event.
    nlohmann::json broken = {{"version", std::string("a\xff")}};
    EXPECT_EQ(SerializeEntity(broken), "{\"version\": \"a\xef\xbf\xbd\"}");
}

// A clock that the sleeper moves on, so that waiting takes no real time.
class UsageEventsSecond : public ::testing::Test {
  protected:
    ScopedSeams seams;
    void SetUp() override {
        ResetUsageEventsForTesting();
        SetUsageClock([this] { return mNow; });
        SetSleeper([this](std::uint64_t ms) {
            mSleeps.push_back(ms);
            if (mSleeperMovesClock) {
                mNow += milliseconds(ms);
            }
        });
    }
    void TearDown() override { ResetUsageEventsForTesting(); }

    system_clock::time_point mNow = kMarchFifth + 200ms;
    std::vector<std::uint64_t> mSleeps;
    bool mSleeperMovesClock = true;
};

TEST_F(UsageEventsSecond, SecondEventInTheSameSecondWaitsForTheNext) {
    EXPECT_EQ(ClaimEventSecond(), kMarchFifth);
    mNow = kMarchFifth + 700ms;
    EXPECT_EQ(ClaimEventSecond(), kMarchFifth + 1s);
    EXPECT_EQ(mSleeps, std::vector<std::uint64_t>{300});
    EXPECT_EQ(PartitionKeyText(kMarchFifth + 1s), "20240305140710");
}

TEST_F(UsageEventsSecond, EventsInDifferentSecondsDoNotWait) {
    EXPECT_EQ(ClaimEventSecond(), kMarchFifth);
    mNow = kMarchFifth + 1s;
    EXPECT_EQ(ClaimEventSecond(), kMarchFifth + 1s);
    mNow = kMarchFifth + 40s + 999ms;
    EXPECT_EQ(ClaimEventSecond(), kMarchFifth + 40s);
    EXPECT_TRUE(mSleeps.empty());
}

TEST_F(UsageEventsSecond, ClockThatDoesNotMoveStillGivesTheNextSecond) {
    mSleeperMovesClock = false;
    EXPECT_EQ(ClaimEventSecond(), kMarchFifth);
    EXPECT_EQ(ClaimEventSecond(), kMarchFifth + 1s);
    EXPECT_EQ(mSleeps, std::vector<std::uint64_t>{800});
}

}  // namespace
