#pragma once
// The statistics of a usage report: launches matched from their "begin" and "success" events,
// counted per release, per day and by the machine facts of their "begin".
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/publisher/usage_report.h"

// The value at the given percentile of sorted values by the nearest-rank method: the smallest
// value that at least percent % of the values do not exceed; nullopt for no values.
std::optional<std::uint64_t> NearestRankPercentile(const std::vector<std::uint64_t>& sorted,
                                                   unsigned percent);

// For every record, the index of the record it is matched with, or nullopt. A "success" matches
// the latest unmatched "begin" of the same product, release and machine that precedes it by at
// most kLaunchMatchLimit.
std::vector<std::optional<std::size_t>> MatchLaunches(const std::vector<UsageRecord>& records);

// Orders release keys as versions: numeric parts by value, newest first.
bool NewerRelease(const std::string& a, const std::string& b);

UsageReport ComputeUsageReport(const UsageEvents& events, const ReportWindow& window,
                               const std::string& product);
