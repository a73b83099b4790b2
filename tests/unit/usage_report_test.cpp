// The report's own rules, without a store: which events make one launch, how entities with
// missing or odd members are counted, and that hostile texts from the table stay inert in every
// output.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/safe_text.h"
#include "tools/publisher/usage_report_html.h"
#include "tools/publisher/usage_report_reader.h"
#include "tools/publisher/usage_report_stats.h"
#include "tools/publisher/usage_report_text.h"

using namespace std::chrono;

namespace {

const sys_seconds kNoon = sys_days(2024y / March / 5) + 12h;

UsageRecord Event(UsageAction action, sys_seconds time, const std::string& machine = "m1",
                  const std::string& release = "2024.1") {
    UsageRecord record;
    record.action = action;
    record.time = time;
    record.product = "tarnwick-x64-sql";
    record.release = release;
    record.machine = machine;
    return record;
}

struct MatchCase {
    const char* name;
    std::vector<UsageRecord> records;
    std::vector<std::optional<std::size_t>> expected;
};

TEST(UsageReportMatch, SuccessBelongsToTheLatestBeginOfItsLaunchWithin24Hours) {
    const auto B = UsageAction::Begin;
    const auto S = UsageAction::Success;
    const std::vector<MatchCase> cases = {
        {"begin then success", {Event(B, kNoon), Event(S, kNoon + 90s)}, {1, 0}},
        {"exactly 24 hours later", {Event(B, kNoon), Event(S, kNoon + 24h)}, {1, 0}},
        {"one second too late", {Event(B, kNoon), Event(S, kNoon + 24h + 1s)}, {{}, {}}},
        {"success before begin", {Event(S, kNoon), Event(B, kNoon + 1s)}, {{}, {}}},
        {"retry: the later begin finished",
         {Event(B, kNoon), Event(B, kNoon + 2h), Event(S, kNoon + 2h + 5min)},
         {{}, 2, 1}},
        {"second success has no begin left",
         {Event(B, kNoon), Event(S, kNoon + 1min), Event(S, kNoon + 2min)},
         {1, 0, {}}},
        {"other machine", {Event(B, kNoon, "m1"), Event(S, kNoon + 1min, "m2")}, {{}, {}}},
        {"other release",
         {Event(B, kNoon, "m1", "2024.1"), Event(S, kNoon + 1min, "m1", "2024.0")},
         {{}, {}}},
        {"order in the table does not matter",
         {Event(S, kNoon + 1min), Event(B, kNoon, "m2"), Event(B, kNoon)},
         {2, {}, 0}},
    };
    for (const MatchCase& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(MatchLaunches(test.records), test.expected);
    }
}

TEST(UsageReportMatch, NearestRankPercentile) {
    const std::vector<std::uint64_t> ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(NearestRankPercentile(ten, 50), 5u);
    EXPECT_EQ(NearestRankPercentile(ten, 90), 9u);
    EXPECT_EQ(NearestRankPercentile({7}, 90), 7u);
    EXPECT_EQ(NearestRankPercentile({}, 50), std::nullopt);
}

nlohmann::json GoodEntity() {
    return {{"PartitionKey", "20240305120000"},
            {"RowKey", "m1"},
            {"product", "tarnwick-x64-sql"},
            {"version", "2024.1"},
            {"action", "success"},
            {"duration", "75"},
            {"machineguid", "m1"},
            {"OS_Major", "10"},
            {"OS_Minor", "0"},
            {"architecture", "x64"},
            {"physicalmemory_gib", "7.50"},
            {"iso3166_country", "AT"},
            {"locale_sname", "de-AT"}};
}

struct EntityCase {
    const char* name;
    const char* member;
    nlohmann::json value;  // null: the member is removed
    bool usable;
    const char* problem;  // nullptr: none
};

TEST(UsageReportEntities, MissingAndUnparsableMembersAreCountedNeverTrusted) {
    const std::vector<EntityCase> cases = {
        {"complete", "duration", "75", true, nullptr},
        {"no product", "product", nullptr, false, "product missing"},
        {"empty release", "version", "", false, "version missing"},
        {"numeric machine", "machineguid", 7, false, "machineguid unparsable"},
        {"no time", "PartitionKey", nullptr, false, "PartitionKey missing"},
        {"no such day", "PartitionKey", "20240230120000", false, "PartitionKey unparsable"},
        {"short time", "PartitionKey", "202403051200", false, "PartitionKey unparsable"},
        {"other action", "action", "cancel", false, "action unknown"},
        {"text duration", "duration", "fast", true, "duration unparsable"},
        {"negative duration", "duration", "-5", true, "duration unparsable"},
        {"no duration", "duration", nullptr, true, "duration missing"},
        {"numeric OS", "OS_Major", 10, true, "OS_Major unparsable"},
        {"memory in words", "physicalmemory_gib", "lots", true, "physicalmemory_gib unparsable"},
        {"no country", "iso3166_country", nullptr, true, "iso3166_country missing"},
    };
    for (const EntityCase& test : cases) {
        SCOPED_TRACE(test.name);
        nlohmann::json entity = GoodEntity();
        if (test.value.is_null())
            entity.erase(test.member);
        else
            entity[test.member] = test.value;
        EntityQuality quality;
        const auto record = RecordFromEntity(entity, quality);
        EXPECT_EQ(record.has_value(), test.usable);
        EXPECT_EQ(quality.entitiesLeftOut, test.usable ? 0u : 1u);
        if (test.problem == nullptr) {
            EXPECT_TRUE(quality.problems.empty());
            ASSERT_TRUE(record);
            EXPECT_EQ(record->durationSeconds, 75u);
            EXPECT_EQ(record->memoryClass, "4 to 8 GiB");
            EXPECT_EQ(record->osVersion, "10.0");
        } else {
            EXPECT_EQ(quality.problems, (std::map<std::string, std::uint64_t>{{test.problem, 1}}));
        }
    }
    EntityQuality quality;
    EXPECT_FALSE(RecordFromEntity(nlohmann::json::array(), quality));
    EXPECT_EQ(quality.problems.count("entity not an object"), 1u);
}

TEST(UsageReportEntities, FilterCoversTheWindowAndADayEitherSide) {
    const ReportWindow window{sys_days(2024y / March / 1), sys_days(2024y / March / 31)};
    EXPECT_EQ(UsageEventFilter(window, ""),
              "PartitionKey ge '20240229000000' and PartitionKey lt '20240402000000'");
    EXPECT_EQ(UsageEventFilter(window, "o'neil"),
              "PartitionKey ge '20240229000000' and PartitionKey lt '20240402000000' and "
              "product eq 'o''neil'");
    // Keys compare as text: a bound in the year 10000 would sort before every key.
    const ReportWindow last{sys_days(9999y / December / 31), sys_days(9999y / December / 31)};
    EXPECT_EQ(UsageEventFilter(last, ""),
              "PartitionKey ge '99991230000000' and PartitionKey le '99991231235959'");
}

TEST(UsageReportEntities, PageIsReadEntityByEntity) {
    struct Case {
        const char* name;
        std::string page;
        std::optional<std::vector<bool>> readable;  // nullopt: the page fails
    };
    const std::string good = R"({"product":"a \"[{\\","n":[1,{"x":null}]})";
    const std::vector<Case> cases = {
        {"two entities", R"({"odata.metadata":"x","value":[)" + good + "," + good + "]}",
         std::vector<bool>{true, true}},
        {"no entities", R"( {"value" : [ ] } )", std::vector<bool>{}},
        {"unpaired surrogate", R"({"value":[)" + good + R"(,{"product":"x\ud800"},)" + good + "]}",
         std::vector<bool>{true, false, true}},
        {"bytes that are no UTF-8", "{\"value\":[{\"locale_sname\":\"\xff\"}," + good + "]}",
         std::vector<bool>{false, true}},
        {"an entity that is no object", R"({"value":[7,"x"]})", std::vector<bool>{true, true}},
        {"not JSON at all", "<html>busy</html>", std::nullopt},
        {"empty", "", std::nullopt},
        {"no value list", R"({"odata.metadata":"x"})", std::nullopt},
        {"value no list", R"({"value":{"a":1}})", std::nullopt},
        {"value twice", R"({"value":[],"value":[]})", std::nullopt},
        {"cut off", R"({"value":[{"a":1},{"b":)", std::nullopt},
        {"brackets that do not pair", R"({"value":[{"a":[1}]]})", std::nullopt},
        {"broken outside the list", R"({"odata.metadata":"\ud800","value":[]})", std::nullopt},
        {"text after the page", R"({"value":[]} x)", std::nullopt},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const auto entities = PageEntities(test.page);
        ASSERT_EQ(entities.has_value(), test.readable.has_value());
        if (!entities) continue;
        std::vector<bool> readable;
        for (const auto& entity : *entities) readable.push_back(entity.has_value());
        EXPECT_EQ(readable, *test.readable);
        if (!readable.empty() && readable.front() && test.page.find(good) != std::string::npos) {
            EXPECT_EQ((*entities->front())["product"], "a \"[{\\");
        }
    }
}

// Texts are grouped and matched on their whole value; only a bounded form is kept and shown.
TEST(UsageReportStats, LongTextsThatShareTheirStartStayApart) {
    const std::string stem(150, 'p');
    std::vector<UsageRecord> records;
    EntityQuality quality;
    for (const char* tail : {"1", "2"}) {
        for (const char* action : {"begin", "success"}) {
            nlohmann::json entity = GoodEntity();
            entity["product"] = stem + tail;
            entity["action"] = action;
            if (std::string(action) == "begin") entity["PartitionKey"] = "20240305110000";
            records.push_back(*RecordFromEntity(entity, quality));
        }
    }
    const ReportWindow window{sys_days(2024y / March / 5), sys_days(2024y / March / 5)};
    const UsageReport report = ComputeUsageReport(UsageEvents{records, quality}, window, "");
    ASSERT_EQ(report.releases.size(), 2u);
    for (const ReleaseStats& release : report.releases) {
        EXPECT_EQ(release.begun, 1u);
        EXPECT_EQ(release.finished, 1u) << "each success matches its own begin";
        EXPECT_LE(release.product.size(), kMaxMemberBytes);
        EXPECT_EQ(release.product.rfind(stem.substr(0, 64) + "...#", 0), 0u) << release.product;
    }
    EXPECT_NE(report.releases[0].product, report.releases[1].product);
    EXPECT_EQ(KeptText("tarnwick-x64-sql"), "tarnwick-x64-sql");
}

TEST(UsageReportOutput, HostileTextsStayInert) {
    struct Case {
        std::string text;
        std::string safe;
        std::string csv;
        std::string html;
    };
    const std::vector<Case> cases = {
        {"plain", "plain", "plain", "plain"},
        {"\x1b[31mred", "\\x1b[31mred", "\\x1b[31mred", "\\x1b[31mred"},
        {"a\r\nb", "a\\x0d\\x0ab", "a\\x0d\\x0ab", "a\\x0d\\x0ab"},
        {"\xff\xfe", "\\xff\\xfe", "\\xff\\xfe", "\\xff\\xfe"},
        {"abc\u202eexe", "abc\\u{202e}exe", "abc\\u{202e}exe", "abc\\u{202e}exe"},
        {"Zürich", "Zürich", "Zürich", "Zürich"},
        {"=HYPERLINK(\"x\")", "=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\"",
         "=HYPERLINK(&quot;x&quot;)"},
        {"<script>a&b</script>", "<script>a&b</script>", "<script>a&b</script>",
         "&lt;script&gt;a&amp;b&lt;/script&gt;"},
        {"x,y", "x,y", "\"x,y\"", "x,y"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.safe);
        EXPECT_EQ(SafeText(test.text), test.safe);
        EXPECT_EQ(CsvField(test.text), test.csv);
        EXPECT_EQ(HtmlText(test.text), test.html);
    }
    EXPECT_EQ(BoundedText("ab\xc3\xbc", 3), "ab...");
}

}  // namespace
