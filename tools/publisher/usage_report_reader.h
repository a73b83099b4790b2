#pragma once
// Reading the usage events of a window from the table store: one $filter on "PartitionKey" (the
// events' UTC second) and the product, JSON without metadata, page after page as long as the store
// hands out continuation keys. Every entity is checked member by member; one that lacks a key
// member or carries an unparsable one is counted and left out, never trusted.
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/publisher/usage_report.h"
#include "tools/store/store_client.h"

struct ReportSource {
    TableAccess access;
    std::string table = "downloads";
    std::string product;  // empty: every product
    ReportWindow window;
};

// The most entities one report reads; a longer window fails with a hint to shorten it.
inline constexpr std::uint64_t kMaxReportEntities = 1000000;
// Texts of an entity are cut to this many bytes.
inline constexpr std::size_t kMaxMemberBytes = 100;

// The window widened by kLaunchMatchLimit on both sides, and the product when one is given:
// "PartitionKey ge '...' and PartitionKey lt '...' and product eq '...'".
std::string UsageEventFilter(const ReportWindow& window, const std::string& product);

// "20240305140709" -> 2024-03-05 14:07:09 UTC; nullopt unless 14 digits of a real time.
std::optional<std::chrono::sys_seconds> ParsePartitionKey(const std::string& text);

// One entity as a record; nullopt when it cannot be used. Its problems are added to quality.
std::optional<UsageRecord> RecordFromEntity(const nlohmann::json& entity, EntityQuality& quality);

// Called after every page with what has been read so far.
using ReadProgress = std::function<void(const EntityQuality&)>;

// Reads the events; throws ReportError for an unreachable store, refused credentials and a
// missing table, PublisherError for other failures.
UsageEvents ReadUsageEvents(const ReportSource& source, const ReadProgress& progress = {});
