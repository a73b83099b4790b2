#pragma once
// Generated usage events for the report's tests and its demo: launches of made-up machines over a
// span of days, each a "begin" and, when it finished, a "success", with the members and facts a
// launcher files. Each launch keeps what really happened, so tests can count independently of the
// report's own matching.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/store/store_client.h"

struct SeedFacts {
    std::string osMajor = "10";
    std::string osMinor = "0";
    std::string architecture = "x64";
    std::string memoryGib = "16.00";
    std::string country = "DE";
    std::string locale = "de-DE";
};

struct SeedLaunch {
    std::string product;
    std::string release;
    std::string machine;
    std::chrono::sys_seconds begin;
    std::optional<std::chrono::sys_seconds> success;  // when the download finished
    std::uint64_t durationSeconds = 0;                // of a finished one
    SeedFacts facts;
};

struct SeedRelease {
    std::string product;
    std::string release;
    double share;           // of all launches
    double completion;      // chance that a launch finishes
    double typicalMinutes;  // median download time
};

// Launches spread over the days [since, since + days), deterministic for one seed. Some machines
// fail first and begin again a few hours later (that earlier launch has no "success").
std::vector<SeedLaunch> GenerateLaunches(unsigned seed, std::chrono::sys_days since, int days,
                                         std::size_t launches,
                                         const std::vector<SeedRelease>& releases);

// The demo's releases: the sample product's three releases and a second product.
std::vector<SeedRelease> DemoReleases();

// The entity of one event as a launcher files it (every member a string).
nlohmann::json SeedEntity(const SeedLaunch& launch, bool success);
// Both events of every launch.
std::vector<nlohmann::json> SeedEntities(const std::vector<SeedLaunch>& launches);

// Inserts the entities into the table, several at a time; false with a message on failure.
bool InsertEntities(const TableAccess& access, const std::string& table,
                    const std::vector<nlohmann::json>& entities, std::string* error);

// "20240305140709".
std::string SeedPartitionKey(std::chrono::sys_seconds time);
