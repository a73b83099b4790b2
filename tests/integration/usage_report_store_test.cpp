// setup-publisher report against the local table store, seeded with generated launches (more than
// one page of entities), crafted edge cases and broken entities: its numbers equal those counted
// here from what was generated, its files are well-formed, and each failure has its exit code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>

#include "core/base64.h"
#include "core/hash_context.h"
#include "support/local_store.h"
#include "support/publisher_process.h"
#include "support/test_environment.h"
#include "support/usage_seed.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

const sys_days kSince = sys_days(2024y / March / 4);
constexpr int kDays = 14;
const sys_days kUntil = kSince + days(kDays - 1);
const std::string kSinceText = "2024-03-04";
const std::string kUntilText = "2024-03-17";
const std::string kHostileProduct = "evil\x1b[2J<script>x</script>";

// What really happened to one launch, as the test knows it.
struct TruthLaunch {
    std::string product;
    std::string release;
    sys_seconds begin;
    bool finished = false;
    std::optional<std::uint64_t> duration;
    std::string architecture;
};

// The seeded table and everything the test knows about it.
struct Seeded {
    std::string table;
    std::vector<TruthLaunch> launches;
    std::uint64_t entitiesInRange = 0;  // entities whose PartitionKey lies in the read range
    std::uint64_t successesWithoutBegin = 0;
    std::vector<nlohmann::json> entities;
    std::string error;
};

std::string UniqueTable() {
    std::mt19937 random{std::random_device{}()};
    return "report" + std::to_string(getpid()) + "x" + std::to_string(random() % 1000000);
}

bool InReadRange(const nlohmann::json& entity) {
    const std::string key = entity.value("PartitionKey", "");
    return key >= SeedPartitionKey(sys_seconds(kSince) - 24h) &&
           key < SeedPartitionKey(sys_seconds(kUntil) + 48h);
}

SeedLaunch Crafted(const std::string& machine, sys_seconds begin,
                   std::optional<sys_seconds> success, const std::string& release = "2024.1") {
    SeedLaunch launch;
    launch.product = "tarnwick-x64-sql";
    launch.release = release;
    launch.machine = machine;
    launch.begin = begin;
    launch.success = success;
    launch.durationSeconds = success ? static_cast<std::uint64_t>((*success - begin).count()) : 0;
    return launch;
}

// Generated launches plus the edge cases; entities go in, the truth is kept.
Seeded MakeSeed() {
    Seeded seeded;
    seeded.table = UniqueTable();
    std::vector<SeedLaunch> launches = GenerateLaunches(4242, kSince, kDays, 600, DemoReleases());
    const sys_seconds day3 = sys_seconds(kSince + days(3)) + 10h;
    // Finished the day after the window: counts for its last day.
    launches.push_back(Crafted("edge-late", sys_seconds(kUntil) + 23h, sys_seconds(kUntil) + 25h));
    // Begun the day before the window: its "success" inside belongs to no launch of the window.
    launches.push_back(Crafted("edge-early", sys_seconds(kSince) - 2h, sys_seconds(kSince) + 1h));
    // A "success" 25 hours after its "begin" is no part of that launch.
    launches.push_back(Crafted("edge-slow", day3, day3 + 25h));
    ++seeded.successesWithoutBegin;
    launches.push_back(Crafted("edge-hostile", day3, day3 + 3min, "=1+1"));
    launches.back().product = kHostileProduct;
    launches.push_back(Crafted("edge-odd-facts", day3, std::nullopt));
    launches.push_back(Crafted("edge-no-arch", day3, day3 + 4min));
    launches.push_back(Crafted("edge-bad-duration", day3, day3 + 5min));
    launches.push_back(Crafted("edge-twice", day3, day3 + 6min));

    std::vector<nlohmann::json> entities;
    for (const SeedLaunch& launch : launches) {
        nlohmann::json begin = SeedEntity(launch, false);
        std::optional<nlohmann::json> success;
        if (launch.success) success = SeedEntity(launch, true);
        TruthLaunch truth{launch.product, launch.release, launch.begin,
                          false,          std::nullopt,   launch.facts.architecture};
        truth.finished = launch.success && *launch.success - launch.begin <= 24h;
        if (truth.finished) truth.duration = launch.durationSeconds;
        if (launch.machine == "edge-odd-facts") {
            begin["OS_Major"] = 10;
            begin["physicalmemory_gib"] = "lots";
        } else if (launch.machine == "edge-no-arch") {
            begin.erase("architecture");
            truth.architecture = "(missing)";
        } else if (launch.machine == "edge-bad-duration") {
            (*success)["duration"] = "fast";
            truth.duration.reset();
        } else if (launch.machine == "edge-twice") {
            nlohmann::json again = SeedEntity(launch, true);
            again["PartitionKey"] = SeedPartitionKey(*launch.success + 10min);
            entities.push_back(again);
            ++seeded.successesWithoutBegin;
        }
        entities.push_back(begin);
        if (success) entities.push_back(*success);
        if (launch.begin >= kSince && launch.begin < kUntil + days(1))
            seeded.launches.push_back(truth);
    }
    // Broken entities: left out, each counted under its problem.
    nlohmann::json broken = SeedEntity(Crafted("broken-1", day3, std::nullopt), false);
    broken.erase("product");
    entities.push_back(broken);
    broken = SeedEntity(Crafted("broken-2", day3, std::nullopt), false);
    broken["PartitionKey"] = "20240310990000";
    entities.push_back(broken);
    broken = SeedEntity(Crafted("broken-3", day3, std::nullopt), false);
    broken["action"] = "cancel";
    entities.push_back(broken);
    // Far outside the window: never read.
    entities.push_back(
        SeedEntity(Crafted("far-away", sys_seconds(kSince) - 72h, std::nullopt), false));
    // A launch on the last day a key can name, read only by a report of that day.
    const sys_seconds lastDay = sys_days(9999y / December / 31) + 12h;
    entities.push_back(SeedEntity(Crafted("last-day", lastDay, lastDay + 1min), false));
    entities.push_back(SeedEntity(Crafted("last-day", lastDay, lastDay + 1min), true));

    for (const nlohmann::json& entity : entities) seeded.entitiesInRange += InReadRange(entity);
    seeded.entities = std::move(entities);
    ++seeded.entitiesInRange;  // the poisoned one
    return seeded;
}

// An entity that anyone with the add-only token can file: a text member with an unpaired
// surrogate escape, which no JSON reader accepts as text.
std::string PoisonedEntity() {
    const sys_seconds day3 = sys_seconds(kSince + days(3)) + 11h;
    nlohmann::json entity = SeedEntity(Crafted("poisoned", day3, std::nullopt), false);
    entity["locale_sname"] = "POISON";
    std::string text = entity.dump();
    text.replace(text.find("\"POISON\""), 8, "\"de\\ud800\"");
    return text;
}

std::vector<std::vector<std::string>> ReadCsv(const fs::path& file) {
    std::vector<std::vector<std::string>> rows;
    const std::string text = ReadFileBytes(file);
    std::vector<std::string> row(1);
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                row.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                row.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.push_back(row);
            row.assign(1, "");
            ++i;
        } else {
            row.back() += c;
        }
    }
    return rows;
}

std::string Percentile(std::vector<std::uint64_t> values, double percent) {
    if (values.empty()) return "";
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(percent / 100.0 * values.size()));
    return std::to_string(values[std::max<std::size_t>(rank, 1) - 1]);
}

std::string Fraction(std::uint64_t part, std::uint64_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", static_cast<double>(part) / whole);
    return text;
}

// The CSV row of releases.csv that the test expects for the launches that pass select.
template <typename Select>
std::vector<std::string> ExpectedReleaseRow(const Seeded& seeded, const std::string& product,
                                            const std::string& release, Select select) {
    std::uint64_t begun = 0, finished = 0, withoutDuration = 0;
    std::vector<std::uint64_t> durations;
    for (const TruthLaunch& launch : seeded.launches) {
        if (!select(launch)) continue;
        ++begun;
        if (!launch.finished) continue;
        ++finished;
        if (launch.duration)
            durations.push_back(*launch.duration);
        else
            ++withoutDuration;
    }
    return {product,
            release,
            std::to_string(begun),
            std::to_string(finished),
            Fraction(finished, begun),
            Percentile(durations, 50),
            Percentile(durations, 90),
            std::to_string(withoutDuration)};
}

// The same as the report shows it in CSV (with the guard against formulas in front of "=").
std::string CsvForm(const std::string& text) {
    if (text == kHostileProduct) return "evil\\x1b[2J<script>x</script>";
    return text.front() == '=' ? "'" + text : text;
}

// A read-only SAS token for one table, made with the account key.
std::string ReadOnlyTableSas(const LocalStore& store, const std::string& table) {
    const std::string version = "2019-02-02";
    const std::string expiry = "2099-12-31T00:00:00Z";
    const std::string stringToSign = "r\n\n" + expiry + "\n/table/" + store.account + "/" + table +
                                     "\n\n\nhttps\n" + version + "\n\n\n\n";
    const std::string signature =
        Base64Encode(HmacSha256(Base64Decode(store.accountKey), stringToSign));
    return "sv=" + version + "&tn=" + table + "&sp=r&se=" + PercentEncode(expiry, false) +
           "&spr=https&sig=" + PercentEncode(signature, false);
}

class ReportStoreTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const auto store = LocalStoreFromEnvironment();
        if (!store) return;
        sSeeded = new Seeded(MakeSeed());
        const StoreAccount account{store->account, store->accountKey, store->blob, store->table};
        const StoreResult created = BlobStoreClient(account).CreateTable(sSeeded->table);
        if (!created.ok) {
            sSeeded->error = "creating the table failed: " + created.message;
            return;
        }
        const TableAccess access{store->table, store->account, store->accountKey, ""};
        if (!InsertEntities(access, sSeeded->table, sSeeded->entities, &sSeeded->error)) return;
        const StoreResult poisoned =
            TableStoreClient(access).InsertEntity(sSeeded->table, PoisonedEntity());
        if (!poisoned.ok)
            sSeeded->error = "inserting the poisoned entity failed: " + poisoned.message;
    }
    static void TearDownTestSuite() {
        delete sSeeded;
        sSeeded = nullptr;
    }

    std::vector<std::string> Window() const {
        return {"--since", kSinceText, "--until", kUntilText, "--table", sSeeded->table};
    }

    static Seeded* sSeeded;
};

Seeded* ReportStoreTest::sSeeded = nullptr;

// Binds store and checks that the seeded table is there.
#define REQUIRE_SEEDED_STORE(store) \
    REQUIRE_LOCAL_STORE(store);     \
    static_cast<void>(store);       \
    ASSERT_NE(sSeeded, nullptr);    \
    ASSERT_EQ(sSeeded->error, "")

TEST_F(ReportStoreTest, NumbersEqualThoseCountedFromTheGeneratedLaunches) {
    REQUIRE_SEEDED_STORE(store);
    ASSERT_GT(sSeeded->entitiesInRange, 1000u) << "more than one page of entities";
    TempDir out;
    std::vector<std::string> arguments = {"report"};
    for (const std::string& argument : Window()) arguments.push_back(argument);
    for (const std::string& argument :
         {std::string("--csv"), (out.path() / "csv").string(), std::string("--html"),
          (out.path() / "report.html").string()})
        arguments.push_back(argument);
    const PublisherRun run = RunPublisher(arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err;

    // Releases: one row each, newest first within a product, then all of them.
    std::vector<std::vector<std::string>> expected = {
        {"product", "release", "launches begun", "downloads finished", "completion rate",
         "median duration", "90th percentile", "finished without duration"}};
    std::vector<std::pair<std::string, std::string>> releases = {{"brenfield-viewer", "3.2"},
                                                                 {kHostileProduct, "=1+1"},
                                                                 {"tarnwick-x64-sql", "2024.1"},
                                                                 {"tarnwick-x64-sql", "2024.0"},
                                                                 {"tarnwick-x64-sql", "2023.0"}};
    for (const auto& [product, release] : releases) {
        expected.push_back(ExpectedReleaseRow(
            *sSeeded, CsvForm(product), CsvForm(release), [&](const TruthLaunch& launch) {
                return launch.product == product && launch.release == release;
            }));
    }
    expected.push_back(ExpectedReleaseRow(*sSeeded, "(all releases)", "",
                                          [](const TruthLaunch&) { return true; }));
    EXPECT_EQ(ReadCsv(out.path() / "csv" / "releases.csv"), expected);

    // Per day of the "begin", every day of the window.
    const auto days = ReadCsv(out.path() / "csv" / "days.csv");
    ASSERT_EQ(days.size(), static_cast<std::size_t>(kDays) + 1);
    for (int d = 0; d < kDays; ++d) {
        std::uint64_t begun = 0, finished = 0;
        for (const TruthLaunch& launch : sSeeded->launches) {
            if (floor<std::chrono::days>(launch.begin) != kSince + std::chrono::days(d)) continue;
            ++begun;
            finished += launch.finished;
        }
        EXPECT_EQ(days[d + 1][1], std::to_string(begun)) << days[d + 1][0];
        EXPECT_EQ(days[d + 1][2], std::to_string(finished)) << days[d + 1][0];
    }

    // The split by architecture, from the "begin" events.
    std::map<std::string, std::uint64_t> architectures;
    for (const TruthLaunch& launch : sSeeded->launches) ++architectures[launch.architecture];
    std::map<std::string, std::uint64_t> reported;
    for (const auto& row : ReadCsv(out.path() / "csv" / "architectures.csv"))
        if (row[0] != "Architecture") reported[row[0]] = std::stoull(row[1]);
    EXPECT_EQ(reported, architectures);

    // What was read and what was wrong with it.
    std::map<std::string, std::string> entities;
    for (const auto& row : ReadCsv(out.path() / "csv" / "entities.csv")) entities[row[0]] = row[1];
    EXPECT_EQ(entities["read (the window and a day either side)"],
              std::to_string(sSeeded->entitiesInRange));
    EXPECT_GE(std::stoul(entities["pages read"]), 2u);
    EXPECT_EQ(entities["left out: a key member missing or unparsable"], "3");
    EXPECT_EQ(entities["left out: no valid JSON (for example a broken escape)"], "1");
    for (const char* problem :
         {"product missing", "PartitionKey unparsable", "action unknown", "duration unparsable",
          "OS_Major unparsable", "physicalmemory_gib unparsable", "architecture missing"})
        EXPECT_EQ(entities[problem], "1") << problem;
    EXPECT_EQ(entities["\"success\" without a matching \"begin\""],
              std::to_string(sSeeded->successesWithoutBegin));

    // The page parses as strict XML, draws three charts, loads and runs nothing, and holds the
    // same tables as the CSV files.
    const PublisherRun check =
        RunProgram("python3", {SETUP_LAUNCHER_SOURCE_DIR "/tests/tools/check_report_html.py",
                               (out.path() / "report.html").string()});
    ASSERT_EQ(check.exitCode, 0) << check.err;
    const nlohmann::json page = nlohmann::json::parse(check.out);
    EXPECT_EQ(page["root"], "html");
    EXPECT_EQ(page["svg"], 3);
    EXPECT_EQ(page["scripts"], 0);
    EXPECT_EQ(page["references"], nlohmann::json::array());
    for (const auto& file : fs::directory_iterator(out.path() / "csv")) {
        const std::string name = file.path().stem().string();
        ASSERT_TRUE(page["tables"].contains(name)) << name;
        EXPECT_EQ(page["tables"][name].size(), ReadCsv(file.path()).size()) << name;
    }
    EXPECT_EQ(page["tables"]["releases"][2][0], "evil\\x1b[2J<script>x</script>");
}

TEST_F(ReportStoreTest, TerminalReportIsTheSameWithAReadOnlyToken) {
    REQUIRE_SEEDED_STORE(store);
    std::vector<std::string> arguments = {"report"};
    for (const std::string& argument : Window()) arguments.push_back(argument);
    const PublisherRun withKey = RunPublisher(arguments);
    ASSERT_EQ(withKey.exitCode, 0) << withKey.err;
    EXPECT_EQ(withKey.out.find('\x1b'), std::string::npos) << "control characters are escaped";
    EXPECT_NE(withKey.out.find("evil\\x1b[2J"), std::string::npos);
    std::uint64_t begun = 0, finished = 0;
    for (const TruthLaunch& launch : sSeeded->launches) {
        ++begun;
        finished += launch.finished;
    }
    EXPECT_EQ(withKey.out.rfind("Usage from 2024-03-04 to 2024-03-17 (UTC), every product: " +
                                    std::to_string(begun) + " launches begun, " +
                                    std::to_string(finished) + " downloads finished",
                                0),
              0u)
        << withKey.out;

    ScopedEnv noKey("SETUP_PUBLISHER_ACCOUNT_KEY", std::nullopt);
    arguments.push_back("--sas");
    arguments.push_back(ReadOnlyTableSas(store, sSeeded->table));
    const PublisherRun withToken = RunPublisher(arguments);
    ASSERT_EQ(withToken.exitCode, 0) << withToken.err;
    EXPECT_EQ(withToken.out, withKey.out);
}

TEST_F(ReportStoreTest, LastDayAKeyCanName) {
    REQUIRE_SEEDED_STORE(store);
    const PublisherRun run = RunPublisher(
        {"report", "--table", sSeeded->table, "--since", "9999-12-31", "--until", "9999-12-31"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("Usage from 9999-12-31 to 9999-12-31 (UTC), every product: 1 launch "
                            "begun, 1 download finished",
                            0),
              0u)
        << run.out;
}

// On a terminal the progress line is ended before the report begins.
TEST_F(ReportStoreTest, ProgressLineEndsBeforeTheReportOnATerminal) {
    REQUIRE_SEEDED_STORE(store);
    std::string command = ShellQuoted(SETUP_PUBLISHER_BINARY) + " report";
    for (const std::string& argument : Window()) command += " " + ShellQuoted(argument);
    // script gives the tool a terminal for both its outputs, as a publisher at a console has.
    const PublisherRun run = RunProgram("script", {"-qec", command, "/dev/null"});
    ASSERT_EQ(run.exitCode, 0) << run.out;
    const std::size_t progress = run.out.find("reading usage events: ");
    const std::size_t report = run.out.find("Usage from ");
    ASSERT_NE(progress, std::string::npos) << run.out;
    ASSERT_NE(report, std::string::npos) << run.out;
    EXPECT_LT(progress, report);
    EXPECT_EQ(run.out.substr(report - 2, 2), "\r\n") << run.out.substr(progress, report - progress);
    EXPECT_NE(run.out.find(std::to_string(sSeeded->entitiesInRange) + " entities"),
              std::string::npos)
        << run.out.substr(progress, report - progress);
}

TEST_F(ReportStoreTest, OneProductOnly) {
    REQUIRE_SEEDED_STORE(store);
    TempDir out;
    std::vector<std::string> arguments = {"report", "--product", "brenfield-viewer", "--csv",
                                          out.path().string()};
    for (const std::string& argument : Window()) arguments.push_back(argument);
    const PublisherRun run = RunPublisher(arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto select = [](const TruthLaunch& launch) { return launch.product == "brenfield-viewer"; };
    const auto rows = ReadCsv(out.path() / "releases.csv");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1], ExpectedReleaseRow(*sSeeded, "brenfield-viewer", "3.2", select));
    EXPECT_EQ(rows[2], ExpectedReleaseRow(*sSeeded, "(all releases)", "", select));
}

TEST_F(ReportStoreTest, EachFailureHasItsOwnExitCodeAndOneLine) {
    REQUIRE_SEEDED_STORE(store);
    const std::string table = sSeeded->table;
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::optional<std::string> key;  // replaces the account key when set
        int exitCode;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"store unreachable",
         {"--endpoint", "https://devstoreaccount1.table.localhost:1", "--table", table},
         std::nullopt,
         3,
         "cannot reach the table store"},
        {"wrong key",
         {"--table", table},
         Base64Encode(std::string(64, 'k')),
         4,
         "refused the credentials"},
        {"add-only token",
         {"--table", table, "--sas",
          "sv=2019-02-02&tn=" + table + "&sp=a&se=2099-12-31T00%3A00%3A00Z&spr=https&sig=" +
              PercentEncode(
                  Base64Encode(HmacSha256(Base64Decode(store.accountKey),
                                          "a\n\n2099-12-31T00:00:00Z\n/table/" + store.account +
                                              "/" + table + "\n\n\nhttps\n2019-02-02\n\n\n\n")),
                  false)},
         std::nullopt,
         4,
         "refused the credentials"},
        {"no such table", {"--table", "nosuch" + table}, std::nullopt, 5, "does not exist"},
        {"empty window",
         {"--table", table, "--since", "2001-01-01", "--until", "2001-01-31"},
         std::nullopt,
         6,
         "no usage events from 2001-01-01 to 2001-01-31"},
        {"since after until",
         {"--since", "2024-03-05", "--until", "2024-03-04"},
         std::nullopt,
         2,
         "--since"},
        {"no date", {"--since", "2024-02-30"}, std::nullopt, 2, "YYYY-MM-DD"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        std::optional<ScopedEnv> key;
        if (test.key) key.emplace("SETUP_PUBLISHER_ACCOUNT_KEY", *test.key);
        std::vector<std::string> arguments = {"report"};
        arguments.insert(arguments.end(), test.arguments.begin(), test.arguments.end());
        const PublisherRun run = RunPublisher(arguments);
        EXPECT_EQ(run.exitCode, test.exitCode) << run.err;
        EXPECT_NE(run.err.find(test.says), std::string::npos) << run.err;
        EXPECT_EQ(run.err.rfind("setup-publisher: ", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

}  // namespace
