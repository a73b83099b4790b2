#pragma once
// Reading the usage events of a window from the table store: one $filter on "PartitionKey" (the
// events' UTC second) and the product, JSON without metadata, page after page as long as the store
// hands out continuation keys. Every entity is checked member by member; one that lacks a key
// member or carries an unparsable one is counted and left out, never trusted.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
// Texts of an entity up to this many bytes are kept whole. A longer one (no launcher sends one) is
// kept as its first bytes, "..." and "#" with 32 hex digits of the whole text's SHA-256: texts that
// differ only past the cut still group and match apart, and memory stays bounded.
inline constexpr std::size_t kMaxMemberBytes = 100;

// A text member as the report keeps it (see kMaxMemberBytes).
std::string KeptText(const std::string& text);

// The window widened by kLaunchMatchLimit on both sides, and the product when one is given:
// "PartitionKey ge '...' and PartitionKey lt '...' and product eq '...'".
std::string UsageEventFilter(const ReportWindow& window, const std::string& product);

// "20240305140709" -> 2024-03-05 14:07:09 UTC; nullopt unless 14 digits of a real time.
std::optional<std::chrono::sys_seconds> ParsePartitionKey(const std::string& text);

// The entities of one page of the store's answer, each parsed on its own: nullopt for an entity
// that is no valid JSON by itself (a broken escape such as an unpaired surrogate, bytes that are
// no UTF-8), so that it alone is left out. nullopt for the page when it is no JSON object with a
// "value" list.
std::optional<std::vector<std::optional<nlohmann::json>>> PageEntities(std::string_view page);

// One entity as a record; nullopt when it cannot be used. Its problems are added to quality.
std::optional<UsageRecord> RecordFromEntity(const nlohmann::json& entity, EntityQuality& quality);

// Called after every page with what has been read so far.
using ReadProgress = std::function<void(const EntityQuality&)>;

// Reads the events; throws ReportError for an unreachable store, refused credentials and a
// missing table, PublisherError for other failures.
UsageEvents ReadUsageEvents(const ReportSource& source, const ReadProgress& progress = {});
