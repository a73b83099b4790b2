// Usage events against the local table store: the entities that the store keeps, read back with a
// signed query, for events sent in this process and for whole launches of a launcher that signs
// with the account key and of one that carries an add-only SAS token.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/base64.h"
#include "core/clock.h"
#include "core/hash_context.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"
#include "support/launcher_process.h"
#include "support/local_store.h"
#include "support/process_seams.h"
#include "support/scripted_server.h"
#include "support/test_environment.h"
#include "support/test_pki.h"
#include "tools/store/store_client.h"
#include "usage/system_facts.h"
#include "usage/usage_events.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

// The members every usage entity carries, besides the "Timestamp" that the store adds.
const std::set<std::string> kEntityMembers = {"OS_Major",        "OS_Minor",
                                              "PartitionKey",    "RowKey",
                                              "SP_Major",        "SP_Minor",
                                              "action",          "architecture",
                                              "duration",        "geo_id",
                                              "iso3166_country", "locale_sname",
                                              "machineguid",     "physicalmemory_gib",
                                              "product",         "record_id",
                                              "version",         "version_setuplauncher"};

// A product name no earlier run against the same (in-memory) store has used.
std::string UniqueProduct() {
    static std::atomic<int> counter{0};
    return "usage-" + std::to_string(getpid()) + "-" +
           std::to_string(
               duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() %
               100000000) +
           "-" + std::to_string(counter++);
}

std::string Utf8(const std::u16string& text) {
    return ToUtf8(text);
}

// The entities of one product, read with a SharedKeyLite-signed query (signed by the store
// client, independently of the launcher's signing); sorted by PartitionKey.
std::vector<nlohmann::json> ReadEntities(const LocalStore& store, const std::string& product,
                                         bool* readable = nullptr) {
    const std::string date =
        HttpDate(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
    const std::string authorization =
        SharedKeyAuthorization("SharedKeyLite", store.account, store.accountKey,
                               date + "\n/" + store.account + "/downloads()");
    const std::vector<std::u16string> headers = {
        u"x-ms-date: " + ToUtf16(date), u"Authorization: " + ToUtf16(authorization),
        u"Accept: application/json;odata=nometadata", u"x-ms-version: 2016-05-31"};
    const std::string filter = "$filter=" + PercentEncode("product eq '" + product + "'", false);
    std::string body;
    const bool ok = HttpRequest(store.table.host, ToUtf16("/downloads()?" + filter),
                                store.table.secure, store.table.port, AppendBody(body),
                                HttpVerb::Get, headers, std::nullopt, std::string());
    if (readable != nullptr) *readable = ok;
    std::vector<nlohmann::json> entities;
    EXPECT_TRUE(ok) << "reading the table failed: " << body;
    if (!ok) return entities;
    const nlohmann::json answer = nlohmann::json::parse(body);
    for (const nlohmann::json& entity : answer.at("value")) {
        entities.push_back(entity);
    }
    std::sort(entities.begin(), entities.end(), [](const auto& a, const auto& b) {
        return a.at("PartitionKey").template get<std::string>() <
               b.at("PartitionKey").template get<std::string>();
    });
    return entities;
}

// Checks one entity read back from the store against this machine's facts.
void ExpectEntity(const nlohmann::json& entity, const std::string& product,
                  const std::string& version, const std::string& action,
                  const LocaleFacts& locale) {
    std::set<std::string> names;
    for (const auto& [name, value] : entity.items()) {
        if (name == "Timestamp") continue;
        names.insert(name);
        EXPECT_TRUE(value.is_string()) << name << " is " << value.dump();
    }
    EXPECT_EQ(names, kEntityMembers);
    EXPECT_EQ(entity.value("product", ""), product);
    EXPECT_EQ(entity.value("version", ""), version);
    EXPECT_EQ(entity.value("version_setuplauncher", ""), "5");
    EXPECT_EQ(entity.value("action", ""), action);

    const MachineFacts facts = QueryMachineFacts();
    EXPECT_EQ(entity.value("OS_Major", ""), std::to_string(facts.osMajor));
    EXPECT_EQ(entity.value("OS_Minor", ""), std::to_string(facts.osMinor));
    EXPECT_EQ(entity.value("SP_Major", ""), "0");
    EXPECT_EQ(entity.value("SP_Minor", ""), "0");
    EXPECT_EQ(entity.value("physicalmemory_gib", ""),
              PhysicalMemoryTextFromBytes(facts.physicalMemoryBytes));
    EXPECT_EQ(entity.value("machineguid", ""), facts.machineGuid);
    EXPECT_EQ(entity.value("RowKey", ""), facts.machineGuid);
    EXPECT_EQ(entity.value("architecture", ""), facts.wow64 ? "x64" : "x86");
    const std::string recordId = entity.value("record_id", "?");
    EXPECT_TRUE(recordId.empty() || (recordId.size() == 36 && recordId[14] == '1')) << recordId;
    EXPECT_EQ(entity.value("geo_id", ""), locale.geoId);
    EXPECT_EQ(entity.value("iso3166_country", ""), locale.iso3166Country);
    EXPECT_EQ(entity.value("locale_sname", ""), locale.localeName);
    EXPECT_EQ(entity.value("PartitionKey", "").size(), 14u);
}

// An add-only SAS token for the table "downloads", made with the account key.
std::string AddOnlyTableSas(const LocalStore& store) {
    const std::string version = "2019-02-02";
    const std::string expiry = "2099-12-31T00:00:00Z";
    const std::string stringToSign = "a\n\n" + expiry + "\n/table/" + store.account +
                                     "/downloads\n\n\nhttps\n" + version + "\n\n\n\n";
    const std::string signature =
        Base64Encode(HmacSha256(Base64Decode(store.accountKey), stringToSign));
    return "sv=" + version + "&tn=downloads&sp=a&se=" + PercentEncode(expiry, false) +
           "&spr=https&sig=" + PercentEncode(signature, false);
}

// An HTTPS stand-in for the table endpoint (under the test authority) that passes every request
// on to the local store and keeps what the store answered, so that a test sees how often each
// event was posted.
class TableRelay {
  public:
    explicit TableRelay(const LocalStore& store) {
        mServer.SetHook([this, store](const RecordedRequest& request, Reply& reply) {
            const std::string host = Utf8(store.table.host);
            httplib::SSLClient client(host, store.table.port);
            client.set_hostname_addr_map({{host, "127.0.0.1"}});
            client.set_ca_cert_path(store.caFile);
            client.enable_server_certificate_verification(true);
            httplib::Headers headers;
            std::string contentType;
            for (const auto& [name, value] : request.headers) {
                const std::string lower = Lower(name);
                if (lower == "content-type") {
                    contentType = value;
                } else if (!kNotPassedOn.contains(lower)) {
                    headers.emplace(name, value);
                }
            }
            auto answer = client.Post(request.target, headers, request.body, contentType);
            const int status = answer ? answer->status : 502;
            reply = Reply::Status(status, answer ? answer->body : std::string());
            std::lock_guard<std::mutex> lock(mMutex);
            mStatuses.push_back(status);
        });
    }

    std::string Endpoint() const { return mServer.Endpoint(); }
    std::vector<RecordedRequest> Requests() const { return mServer.Requests(); }
    std::vector<int> Statuses() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mStatuses;
    }

  private:
    // Headers of the relay's own connection, and those the server adds for its handlers.
    inline static const std::set<std::string> kNotPassedOn = {
        "host",       "content-length", "accept-encoding", "connection",
        "local_addr", "local_port",     "remote_addr",     "remote_port"};

    static std::string Lower(std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    ScriptedServer mServer;
    mutable std::mutex mMutex;
    std::vector<int> mStatuses;
};

class UsageStoreTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    void TearDown() override { ResetUsageEventsForTesting(); }

    // Dates this process's events at a random second of the past day, where neither real
    // launches nor other test processes file theirs (the store keys entities by second and
    // machine); waiting for the next second moves this clock on instead of taking time.
    void UsePrivateClock() {
        std::mt19937_64 random{std::random_device{}()};
        mNow = floor<seconds>(system_clock::now()) - seconds(3600 + random() % 82800) +
               milliseconds(600);
        mStart = floor<seconds>(mNow);
        SetUsageClock([this] { return mNow; });
        SetSleeper([this](std::uint64_t ms) { mNow += milliseconds(ms); });
    }

    system_clock::time_point mNow;
    sys_seconds mStart;
};

TEST_F(UsageStoreTest, SignedEventsOfOneSecondAreBothKept) {
    REQUIRE_LOCAL_STORE(store);
    UsePrivateClock();
    const TableCredentials credentials{store.account, Base64Decode(store.accountKey), ""};
    const std::string product = UniqueProduct();

    // "success" right after "begin", within the same second.
    SendUsageEvent(UsageEvent{ToUtf16(product), "2024.1", "begin", "0", 5}, credentials,
                   store.table);
    SendUsageEvent(UsageEvent{ToUtf16(product), "2024.1", "success", "", 5}, credentials,
                   store.table);

    const std::vector<nlohmann::json> entities = ReadEntities(store, product);
    ASSERT_EQ(entities.size(), 2u) << "the store refused an event";
    const LocaleFacts locale = QuerySystemLocaleFacts();
    ExpectEntity(entities[0], product, "2024.1", "begin", locale);
    ExpectEntity(entities[1], product, "2024.1", "success", locale);
    EXPECT_EQ(entities[0].value("duration", ""), "0");
    EXPECT_EQ(entities[1].value("duration", ""), "0") << "an empty duration is sent as 0";
    EXPECT_EQ(entities[0].value("PartitionKey", ""), PartitionKeyText(mStart));
    EXPECT_EQ(entities[1].value("PartitionKey", ""), PartitionKeyText(mStart + 1s));
}

TEST_F(UsageStoreTest, AddOnlyTokenInsertsButCannotRead) {
    REQUIRE_LOCAL_STORE(store);
    UsePrivateClock();
    const std::string product = UniqueProduct();
    const TableCredentials credentials{store.account, "", AddOnlyTableSas(store)};

    SendUsageEvent(UsageEvent{ToUtf16(product), "7", "begin", "0", 5}, credentials, store.table);

    const std::vector<nlohmann::json> entities = ReadEntities(store, product);
    ASSERT_EQ(entities.size(), 1u);
    ExpectEntity(entities[0], product, "7", "begin", QuerySystemLocaleFacts());

    // The token itself does not open the table for reading.
    std::string body;
    EXPECT_FALSE(HttpRequest(store.table.host, ToUtf16("/downloads()?" + credentials.sasToken),
                             true, store.table.port, AppendBody(body), HttpVerb::Get,
                             {u"Accept: application/json;odata=nometadata"}, std::nullopt, ""));
}

TEST_F(UsageStoreTest, WrongKeyIsRefusedByTheStore) {
    REQUIRE_LOCAL_STORE(store);
    UsePrivateClock();
    const std::string product = UniqueProduct();
    const TableCredentials credentials{store.account, std::string(64, 'k'), ""};
    SendUsageEvent(UsageEvent{ToUtf16(product), "1", "begin", "0", 5}, credentials, store.table);
    bool readable = false;
    EXPECT_TRUE(ReadEntities(store, product, &readable).empty());
    EXPECT_TRUE(readable);
}

// Lets the second in which earlier launches of this machine filed their last event pass.
void WaitForTheNextSecond() {
    const auto now = system_clock::now();
    std::this_thread::sleep_until(floor<seconds>(now) + 1s);
}

// Whole launches of the key-signing and of the token-carrying build: each downloads a small
// published image (download only) and leaves exactly "begin" and "success" in the table.
struct LaunchBuild {
    const char* name;
    const char* binary;
    bool token;
};

void ExpectLaunchLeavesBeginAndSuccess(const LocalStore& store, const LaunchBuild& build) {
    BlobStoreClient client(StoreAccount{store.account, store.accountKey, store.blob, store.table});
    const LocaleFacts locale = LocaleFactsFromName("de_AT.UTF-8");

    // The store keys entities by second and machine, so launches on this machine must not file
    // events in the same second. Each launch starts in a second after the earlier ones' last
    // event; one that still met an event of another process (the store refuses it as a conflict)
    // is repeated with a fresh product, anything else counts.
    for (int round = 0; round < 3; ++round) {
        WaitForTheNextSecond();
        const std::string product = UniqueProduct();
        const std::string image(200000, 'i');
        ASSERT_TRUE(client.CreateContainer(product + "-files").ok);
        ASSERT_TRUE(client.PutBlob(product + "-files", "disc.iso", image).ok);
        ASSERT_TRUE(client.CreateContainer(product + "-v2").ok);
        const std::string index =
            R"({"current_release":"3.1","releases":{"3.1":{"release":"Usage 3.1",)"
            R"("containername":")" +
            product +
            R"(-files","required_setup":5,"filetype":"iso",)"
            R"("filename":"disc.iso","hash":")" +
            HashText(image, "SHA256", true) + R"(","filesize":)" + std::to_string(image.size()) +
            "}}}";
        ASSERT_TRUE(client.PutBlob(product + "-v2", "index", index, "application/json").ok);

        TableRelay relay(store);
        // The launch trusts both the store's authority and the relay's.
        TempDir trust;
        const fs::path authorities = trust.path() / "authorities.pem";
        WriteFileBytes(authorities, ReadFileBytes(store.caFile) + "\n" +
                                        ReadFileBytes(TestPki::Shared().CaFile()));
        LauncherSandbox sandbox(product);
        if (build.token) {
            fs::copy_file(build.binary, sandbox.launcher(), fs::copy_options::overwrite_existing);
        }
        // Keep the destination, download only, OK.
        const LaunchResult result =
            sandbox.Launch("\ny\n\n", {{"SETUP_LAUNCHER_TABLE_ENDPOINT", relay.Endpoint()},
                                       {"SETUP_LAUNCHER_CA_FILE", authorities.string()},
                                       {"LC_CTYPE", "de_AT.UTF-8"}});
        ASSERT_EQ(result.exitCode, 0);
        ASSERT_EQ(result.err.find("Setup launcher:"), std::string::npos) << result.err;
        ASSERT_EQ(ReadFileBytes(sandbox.downloads() / "disc.iso"), image);

        const std::vector<int> statuses = relay.Statuses();
        if (std::count(statuses.begin(), statuses.end(), 409) > 0) {
            // Another process's launch: step out of its rhythm before trying again.
            std::this_thread::sleep_for(milliseconds(std::random_device{}() % 1000));
            continue;
        }
        EXPECT_EQ(statuses, (std::vector<int>{201, 201})) << "each event posted once, accepted";

        for (const RecordedRequest& request : relay.Requests()) {
            EXPECT_EQ(request.method, "POST");
            const std::optional<std::string> authorization = request.Header("Authorization");
            if (build.token) {
                EXPECT_EQ(request.target, "/downloads?" + AddOnlyTableSas(store));
                EXPECT_FALSE(authorization.has_value());
            } else {
                EXPECT_EQ(request.target, "/downloads");
                ASSERT_TRUE(authorization.has_value());
                EXPECT_EQ(authorization->rfind("SharedKeyLite " + store.account + ":", 0), 0u);
            }
        }

        const std::vector<nlohmann::json> entities = ReadEntities(store, product);
        ASSERT_EQ(entities.size(), 2u);
        ExpectEntity(entities[0], product, "3.1", "begin", locale);
        ExpectEntity(entities[1], product, "3.1", "success", locale);
        EXPECT_EQ(entities[0].value("duration", ""), "0");
        const std::string duration = entities[1].value("duration", "");
        EXPECT_FALSE(duration.empty());
        EXPECT_EQ(duration.find_first_not_of("0123456789"), std::string::npos) << duration;
        EXPECT_LT(entities[0].value("PartitionKey", ""), entities[1].value("PartitionKey", ""));
        return;
    }
    FAIL() << "every launch collided with another event of this machine";
}

TEST_F(UsageStoreTest, LaunchesOfKeyAndTokenBuildsLeaveBeginAndSuccess) {
    REQUIRE_LOCAL_STORE(store);
    for (const LaunchBuild& build : {LaunchBuild{"key", SETUP_LAUNCHER_BINARY, false},
                                     LaunchBuild{"token", SETUP_LAUNCHER_SAS_BINARY, true}}) {
        SCOPED_TRACE(build.name);
        ExpectLaunchLeavesBeginAndSuccess(store, build);
    }
}

}  // namespace
