#include "tools/publisher/usage_report_tables.h"

#include <cstdio>

#include "core/safe_text.h"

namespace {

ReportTable ReleaseTable(const UsageReport& report) {
    ReportTable table{
        "releases",
        "Releases",
        {"product", "release", "launches begun", "downloads finished", "completion rate",
         "median duration", "90th percentile", "finished without duration"},
        {}};
    auto add = [&table](const ReleaseStats& stats, const std::string& product) {
        table.rows.push_back({ReportCell::Text(product), ReportCell::Text(stats.release),
                              ReportCell::Count(stats.begun), ReportCell::Count(stats.finished),
                              ReportCell::Rate(stats.finished, stats.begun),
                              ReportCell::Seconds(stats.medianSeconds),
                              ReportCell::Seconds(stats.p90Seconds),
                              ReportCell::Count(stats.finishedWithoutDuration)});
    };
    for (const ReleaseStats& stats : report.releases) add(stats, stats.product);
    add(report.total, "(all releases)");
    return table;
}

ReportTable DayTable(const UsageReport& report) {
    ReportTable table{"days",
                      "Launches per day (UTC, by the day of the \"begin\")",
                      {"day", "launches begun", "downloads finished", "completion rate"},
                      {}};
    for (const DayStats& day : report.days) {
        table.rows.push_back({ReportCell::Text(DayText(day.day)), ReportCell::Count(day.begun),
                              ReportCell::Count(day.finished),
                              ReportCell::Rate(day.finished, day.begun)});
    }
    return table;
}

ReportTable SplitTable(const Split& split) {
    ReportTable table{split.name,
                      split.title,
                      {split.title, "launches begun", "downloads finished", "completion rate"},
                      {}};
    for (const SplitRow& row : split.rows) {
        table.rows.push_back({ReportCell::Text(row.value), ReportCell::Count(row.begun),
                              ReportCell::Count(row.finished),
                              ReportCell::Rate(row.finished, row.begun)});
    }
    return table;
}

ReportTable DurationTable(const UsageReport& report) {
    ReportTable table{"durations", "Duration of finished downloads", {"duration", "downloads"}, {}};
    for (const DurationBucket& bucket : report.durations) {
        table.rows.push_back({ReportCell::Text(bucket.label), ReportCell::Count(bucket.count)});
    }
    return table;
}

ReportTable QualityTable(const UsageReport& report) {
    const EntityQuality& quality = report.quality;
    ReportTable table{"entities", "Entities read", {"what", "entities"}, {}};
    auto add = [&table](const std::string& what, std::uint64_t count) {
        table.rows.push_back({ReportCell::Text(what), ReportCell::Count(count)});
    };
    add("read (the window and a day either side)", quality.entitiesRead);
    add("pages read", quality.pages);
    add("left out: a key member missing or unparsable", quality.entitiesLeftOut);
    add("left out: no valid JSON (for example a broken escape)", quality.entitiesUnreadable);
    for (const auto& [problem, count] : quality.problems) add(problem, count);
    add("\"success\" without a matching \"begin\"", report.successesWithoutBegin);
    return table;
}

}  // namespace

ReportCell ReportCell::Text(std::string text) {
    return ReportCell{Kind::Text, std::move(text), std::nullopt};
}

ReportCell ReportCell::Count(std::uint64_t count) {
    return ReportCell{Kind::Count, "", static_cast<double>(count)};
}

ReportCell ReportCell::Rate(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return ReportCell{Kind::Rate, "", std::nullopt};
    return ReportCell{Kind::Rate, "", static_cast<double>(part) / static_cast<double>(whole)};
}

ReportCell ReportCell::Seconds(std::optional<std::uint64_t> seconds) {
    if (!seconds) return ReportCell{Kind::Seconds, "", std::nullopt};
    return ReportCell{Kind::Seconds, "", static_cast<double>(*seconds)};
}

std::string DisplayText(const ReportCell& cell) {
    char text[64];
    switch (cell.kind) {
        case ReportCell::Kind::Text:
            return SafeText(cell.text);
        case ReportCell::Kind::Count:
            return std::to_string(static_cast<std::uint64_t>(cell.value.value_or(0)));
        case ReportCell::Kind::Rate:
            if (!cell.value) return "n/a";
            std::snprintf(text, sizeof text, "%.1f%%", *cell.value * 100.0);
            return text;
        case ReportCell::Kind::Seconds: {
            if (!cell.value) return "n/a";
            const auto seconds = static_cast<std::uint64_t>(*cell.value);
            std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                          static_cast<unsigned long long>(seconds / 3600),
                          static_cast<unsigned long long>(seconds / 60 % 60),
                          static_cast<unsigned long long>(seconds % 60));
            return text;
        }
    }
    return std::string();
}

std::string DayText(std::chrono::sys_days day) {
    const std::chrono::year_month_day date(day);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::string SummaryLine(const UsageReport& report) {
    std::string line = "Usage from " + DayText(report.window.since) + " to " +
                       DayText(report.window.until) + " (UTC), " +
                       (report.product.empty() ? std::string("every product")
                                               : "product " + SafeText(report.product)) +
                       ": " + std::to_string(report.total.begun) +
                       (report.total.begun == 1 ? " launch" : " launches") + " begun, " +
                       std::to_string(report.total.finished) +
                       (report.total.finished == 1 ? " download" : " downloads") + " finished";
    if (report.total.begun > 0)
        line +=
            " (" + DisplayText(ReportCell::Rate(report.total.finished, report.total.begun)) + ")";
    if (report.total.medianSeconds)
        line += ", median duration " + DisplayText(ReportCell::Seconds(report.total.medianSeconds));
    return line;
}

std::vector<ReportTable> BuildReportTables(const UsageReport& report) {
    std::vector<ReportTable> tables = {ReleaseTable(report), DayTable(report)};
    for (const Split& split : report.splits) tables.push_back(SplitTable(split));
    tables.push_back(DurationTable(report));
    tables.push_back(QualityTable(report));
    return tables;
}
