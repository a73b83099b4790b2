#include "tools/publisher/usage_report_stats.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <tuple>

namespace {

using namespace std::chrono;

// A launch that began in the window: its "begin" and, when it finished, its "success".
struct Launch {
    const UsageRecord* begin;
    const UsageRecord* success;  // nullptr when unfinished
};

std::vector<std::string> ReleaseParts(const std::string& text) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == '.')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

// Compares two parts: numbers by value (and before text), text by bytes.
int CompareParts(const std::string& a, const std::string& b) {
    const bool numberA = !a.empty() && a.find_first_not_of("0123456789") == std::string::npos;
    const bool numberB = !b.empty() && b.find_first_not_of("0123456789") == std::string::npos;
    if (numberA && numberB) {
        const auto strip = [](const std::string& text) {
            const auto first = text.find_first_not_of('0');
            return first == std::string::npos ? std::string() : text.substr(first);
        };
        const std::string x = strip(a), y = strip(b);
        if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
        return x.compare(y) < 0 ? -1 : (x == y ? 0 : 1);
    }
    if (numberA != numberB) return numberA ? 1 : -1;
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

std::vector<Launch> LaunchesInWindow(const UsageEvents& events, const ReportWindow& window,
                                     std::uint64_t& successesWithoutBegin) {
    const auto matches = MatchLaunches(events.records);
    std::vector<Launch> launches;
    for (std::size_t i = 0; i < events.records.size(); ++i) {
        const UsageRecord& record = events.records[i];
        if (!window.Contains(record.time)) continue;
        if (record.action == UsageAction::Begin) {
            launches.push_back({&record, matches[i] ? &events.records[*matches[i]]
                                                    : static_cast<UsageRecord*>(nullptr)});
        } else if (!matches[i]) {
            ++successesWithoutBegin;
        }
    }
    return launches;
}

void AddDuration(ReleaseStats& stats, const Launch& launch, std::vector<std::uint64_t>& durations) {
    ++stats.begun;
    if (launch.success == nullptr) return;
    ++stats.finished;
    if (launch.success->durationSeconds)
        durations.push_back(*launch.success->durationSeconds);
    else
        ++stats.finishedWithoutDuration;
}

void SetPercentiles(ReleaseStats& stats, std::vector<std::uint64_t>& durations) {
    std::sort(durations.begin(), durations.end());
    stats.medianSeconds = NearestRankPercentile(durations, 50);
    stats.p90Seconds = NearestRankPercentile(durations, 90);
}

std::vector<ReleaseStats> ReleaseTable(const std::vector<Launch>& launches, ReleaseStats& total) {
    std::map<std::pair<std::string, std::string>,
             std::pair<ReleaseStats, std::vector<std::uint64_t>>>
        byRelease;
    std::vector<std::uint64_t> allDurations;
    for (const Launch& launch : launches) {
        auto& [stats, durations] = byRelease[{launch.begin->product, launch.begin->release}];
        stats.product = launch.begin->product;
        stats.release = launch.begin->release;
        AddDuration(stats, launch, durations);
        AddDuration(total, launch, allDurations);
    }
    SetPercentiles(total, allDurations);
    std::vector<ReleaseStats> releases;
    for (auto& [key, entry] : byRelease) {
        SetPercentiles(entry.first, entry.second);
        releases.push_back(entry.first);
    }
    std::stable_sort(releases.begin(), releases.end(), [](const auto& a, const auto& b) {
        if (a.product != b.product) return a.product < b.product;
        return NewerRelease(a.release, b.release);
    });
    return releases;
}

std::vector<DayStats> DayTable(const std::vector<Launch>& launches, const ReportWindow& window) {
    std::vector<DayStats> days;
    for (sys_days day = window.since; day <= window.until; day += std::chrono::days(1))
        days.push_back({day, 0, 0});
    for (const Launch& launch : launches) {
        DayStats& stats = days[static_cast<std::size_t>(
            (floor<std::chrono::days>(launch.begin->time) - window.since).count())];
        ++stats.begun;
        if (launch.success != nullptr) ++stats.finished;
    }
    return days;
}

Split SplitBy(const std::vector<Launch>& launches, std::string name, std::string title,
              std::string UsageRecord::*fact) {
    std::map<std::string, SplitRow> byValue;
    for (const Launch& launch : launches) {
        SplitRow& row = byValue[launch.begin->*fact];
        row.value = launch.begin->*fact;
        ++row.begun;
        if (launch.success != nullptr) ++row.finished;
    }
    Split split{std::move(name), std::move(title), {}};
    for (auto& [value, row] : byValue) split.rows.push_back(row);
    std::stable_sort(split.rows.begin(), split.rows.end(),
                     [](const SplitRow& a, const SplitRow& b) { return a.begun > b.begun; });
    if (split.rows.size() > kSplitRows) {
        SplitRow others{std::to_string(split.rows.size() - (kSplitRows - 1)) + " others", 0, 0};
        for (std::size_t i = kSplitRows - 1; i < split.rows.size(); ++i) {
            others.begun += split.rows[i].begun;
            others.finished += split.rows[i].finished;
        }
        split.rows.resize(kSplitRows - 1);
        split.rows.push_back(others);
    }
    return split;
}

std::vector<DurationBucket> DurationTable(const std::vector<Launch>& launches) {
    std::vector<DurationBucket> buckets = {{"under 1 min", 60, 0},    {"1 to 2 min", 120, 0},
                                           {"2 to 5 min", 300, 0},    {"5 to 10 min", 600, 0},
                                           {"10 to 30 min", 1800, 0}, {"30 to 60 min", 3600, 0},
                                           {"1 h and more", 0, 0}};
    for (const Launch& launch : launches) {
        if (launch.success == nullptr || !launch.success->durationSeconds) continue;
        const std::uint64_t seconds = *launch.success->durationSeconds;
        auto bucket = std::find_if(buckets.begin(), buckets.end(), [seconds](const auto& b) {
            return b.upToSeconds == 0 || seconds < b.upToSeconds;
        });
        ++bucket->count;
    }
    return buckets;
}

}  // namespace

std::optional<std::uint64_t> NearestRankPercentile(const std::vector<std::uint64_t>& sorted,
                                                   unsigned percent) {
    if (sorted.empty()) return std::nullopt;
    const std::size_t rank = (sorted.size() * percent + 99) / 100;
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

bool NewerRelease(const std::string& a, const std::string& b) {
    const auto x = ReleaseParts(a), y = ReleaseParts(b);
    for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
        if (const int order = CompareParts(x[i], y[i]); order != 0) return order > 0;
    }
    return x.size() > y.size();
}

std::vector<std::optional<std::size_t>> MatchLaunches(const std::vector<UsageRecord>& records) {
    std::vector<std::size_t> order(records.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&records](std::size_t a, std::size_t b) {
        const UsageRecord& x = records[a];
        const UsageRecord& y = records[b];
        return std::tie(x.product, x.release, x.machine, x.time) <
               std::tie(y.product, y.release, y.machine, y.time);
    });
    std::vector<std::optional<std::size_t>> matches(records.size());
    std::vector<std::size_t> open;  // unmatched "begin"s of the current launch key, oldest first
    for (std::size_t k = 0; k < order.size(); ++k) {
        const UsageRecord& record = records[order[k]];
        if (k > 0) {
            const UsageRecord& previous = records[order[k - 1]];
            if (std::tie(record.product, record.release, record.machine) !=
                std::tie(previous.product, previous.release, previous.machine))
                open.clear();
        }
        if (record.action == UsageAction::Begin) {
            open.push_back(order[k]);
            continue;
        }
        // The latest open "begin" strictly before this "success"; older ones are further away.
        auto candidate = std::find_if(open.rbegin(), open.rend(), [&](std::size_t index) {
            return records[index].time < record.time;
        });
        if (candidate == open.rend() || record.time - records[*candidate].time > kLaunchMatchLimit)
            continue;
        matches[order[k]] = *candidate;
        matches[*candidate] = order[k];
        open.erase(std::next(candidate).base());
    }
    return matches;
}

UsageReport ComputeUsageReport(const UsageEvents& events, const ReportWindow& window,
                               const std::string& product) {
    UsageReport report;
    report.window = window;
    report.product = product;
    report.quality = events.quality;
    const std::vector<Launch> launches =
        LaunchesInWindow(events, window, report.successesWithoutBegin);
    report.releases = ReleaseTable(launches, report.total);
    report.days = DayTable(launches, window);
    report.splits = {
        SplitBy(launches, "operating-systems", "Operating system version", &UsageRecord::osVersion),
        SplitBy(launches, "architectures", "Architecture", &UsageRecord::architecture),
        SplitBy(launches, "memory", "Memory", &UsageRecord::memoryClass),
        SplitBy(launches, "countries", "Country", &UsageRecord::country),
        SplitBy(launches, "locales", "Locale", &UsageRecord::locale)};
    report.durations = DurationTable(launches);
    return report;
}
