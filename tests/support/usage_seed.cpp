#include "support/usage_seed.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

namespace {

using namespace std::chrono;

struct Place {
    const char* country;
    const char* locale;
    double weight;
};

constexpr Place kPlaces[] = {{"DE", "de-DE", 40}, {"AT", "de-AT", 10}, {"CH", "de-CH", 9},
                             {"US", "en-US", 16}, {"GB", "en-GB", 8},  {"FR", "fr-FR", 7},
                             {"PL", "pl-PL", 5},  {"NL", "nl-NL", 5}};

template <typename T, std::size_t N>
const T& Pick(std::mt19937_64& random, const T (&items)[N], double (*weight)(const T&)) {
    double total = 0;
    for (const T& item : items) total += weight(item);
    double at = std::uniform_real_distribution<double>(0, total)(random);
    for (const T& item : items) {
        at -= weight(item);
        if (at <= 0) return item;
    }
    return items[N - 1];
}

std::string MachineGuid(std::mt19937_64& random) {
    char text[40];
    std::snprintf(
        text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
        static_cast<unsigned>(random() & 0xffffffff), static_cast<unsigned>(random() & 0xffff),
        static_cast<unsigned>(random() & 0xffff), static_cast<unsigned>(random() & 0xffff),
        static_cast<unsigned long long>(random() & 0xffffffffffffULL));
    return text;
}

SeedFacts RandomFacts(std::mt19937_64& random) {
    SeedFacts facts;
    const double os = std::uniform_real_distribution<double>(0, 1)(random);
    facts.osMinor = "0";
    facts.osMajor = "10";
    if (os > 0.80) {
        facts.osMajor = "6";
        facts.osMinor = os > 0.86 ? "1" : "3";
    }
    facts.architecture = std::uniform_real_distribution<double>(0, 1)(random) < 0.9 ? "x64" : "x86";
    static const char* const kMemory[] = {"4.00",  "7.50",  "8.00",  "16.00", "16.00",
                                          "32.00", "32.00", "64.00", "15.50", "31.50"};
    facts.memoryGib = kMemory[random() % std::size(kMemory)];
    const Place& place = Pick<Place>(random, kPlaces, [](const Place& p) { return p.weight; });
    facts.country = place.country;
    facts.locale = place.locale;
    return facts;
}

const SeedRelease& PickRelease(std::mt19937_64& random, const std::vector<SeedRelease>& releases) {
    double total = 0;
    for (const SeedRelease& release : releases) total += release.share;
    double at = std::uniform_real_distribution<double>(0, total)(random);
    for (const SeedRelease& release : releases) {
        at -= release.share;
        if (at <= 0) return release;
    }
    return releases.back();
}

}  // namespace

std::string SeedPartitionKey(sys_seconds time) {
    const sys_days day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss<seconds> clock(time - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02u%02d%02d%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

std::vector<SeedRelease> DemoReleases() {
    return {{"tarnwick-x64-sql", "2024.1", 0.50, 0.86, 4},
            {"tarnwick-x64-sql", "2024.0", 0.15, 0.72, 11},
            {"tarnwick-x64-sql", "2023.0", 0.12, 0.81, 5},
            {"brenfield-viewer", "3.2", 0.23, 0.93, 1.5}};
}

std::vector<SeedLaunch> GenerateLaunches(unsigned seed, sys_days since, int days, std::size_t count,
                                         const std::vector<SeedRelease>& releases) {
    std::mt19937_64 random(seed);
    std::vector<SeedLaunch> launches;
    while (launches.size() < count) {
        const SeedRelease& release = PickRelease(random, releases);
        SeedLaunch launch;
        launch.product = release.product;
        launch.release = release.release;
        launch.machine = MachineGuid(random);
        launch.facts = RandomFacts(random);
        // Working days see more launches than weekends.
        sys_days day = since + std::chrono::days(random() % static_cast<unsigned>(days));
        if (weekday(day).iso_encoding() >= 6 && random() % 2 == 0)
            day = since + std::chrono::days(random() % static_cast<unsigned>(days));
        launch.begin = day + seconds(6 * 3600 + random() % (16 * 3600));
        const double minutes =
            release.typicalMinutes * std::exp(std::normal_distribution<double>(0, 0.7)(random));
        launch.durationSeconds = static_cast<std::uint64_t>(std::max(8.0, minutes * 60));
        const bool finishes =
            std::uniform_real_distribution<double>(0, 1)(random) < release.completion;
        if (!finishes && random() % 3 == 0 && launches.size() + 1 < count) {
            // A failed launch, begun again by the same machine a few hours later.
            SeedLaunch retry = launch;
            retry.begin = launch.begin + seconds(3600 + random() % (4 * 3600));
            retry.success = retry.begin + seconds(launch.durationSeconds);
            launches.push_back(launch);
            launches.push_back(retry);
            continue;
        }
        if (finishes) launch.success = launch.begin + seconds(launch.durationSeconds);
        launches.push_back(launch);
    }
    return launches;
}

nlohmann::json SeedEntity(const SeedLaunch& launch, bool success) {
    const sys_seconds time = success ? *launch.success : launch.begin;
    return nlohmann::json{{"PartitionKey", SeedPartitionKey(time)},
                          {"RowKey", launch.machine},
                          {"product", launch.product},
                          {"version", launch.release},
                          {"version_setuplauncher", "5"},
                          {"action", success ? "success" : "begin"},
                          {"duration", success ? std::to_string(launch.durationSeconds) : "0"},
                          {"OS_Major", launch.facts.osMajor},
                          {"OS_Minor", launch.facts.osMinor},
                          {"SP_Major", "0"},
                          {"SP_Minor", "0"},
                          {"physicalmemory_gib", launch.facts.memoryGib},
                          {"machineguid", launch.machine},
                          {"architecture", launch.facts.architecture},
                          {"record_id", ""},
                          {"geo_id", "<unkown>"},
                          {"iso3166_country", launch.facts.country},
                          {"locale_sname", launch.facts.locale}};
}

std::vector<nlohmann::json> SeedEntities(const std::vector<SeedLaunch>& launches) {
    std::vector<nlohmann::json> entities;
    for (const SeedLaunch& launch : launches) {
        entities.push_back(SeedEntity(launch, false));
        if (launch.success) entities.push_back(SeedEntity(launch, true));
    }
    return entities;
}

bool InsertEntities(const TableAccess& access, const std::string& table,
                    const std::vector<nlohmann::json>& entities, std::string* error) {
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::string firstError;
    auto work = [&] {
        TableStoreClient client(access);
        for (std::size_t i = next++; i < entities.size(); i = next++) {
            const StoreResult result = client.InsertEntity(table, entities[i].dump());
            if (!result.ok) {
                std::lock_guard<std::mutex> lock(mutex);
                if (firstError.empty())
                    firstError = "inserting " + entities[i].dump() + " failed: " + result.message;
                next = entities.size();
            }
        }
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) workers.emplace_back(work);
    for (std::thread& worker : workers) worker.join();
    if (error != nullptr) *error = firstError;
    return firstError.empty();
}
