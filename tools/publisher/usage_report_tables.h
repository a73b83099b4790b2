#pragma once
// The tables of a usage report, built once and written by every output: aligned on the terminal,
// one CSV file each, and under the charts of the HTML page. Cells keep their numbers, so that each
// output chooses its own form ("83.3%" on the terminal, 0.8333 in a CSV file).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/publisher/usage_report.h"

struct ReportCell {
    enum class Kind { Text, Count, Rate, Seconds };
    Kind kind = Kind::Text;
    std::string text;             // Text: as read, not yet made safe
    std::optional<double> value;  // Count, Rate (0 to 1), Seconds; nullopt: no value

    static ReportCell Text(std::string text);
    static ReportCell Count(std::uint64_t count);
    static ReportCell Rate(std::uint64_t part, std::uint64_t whole);
    static ReportCell Seconds(std::optional<std::uint64_t> seconds);
};

struct ReportTable {
    std::string name;   // file stem of its CSV file and id in the page, e.g. "releases"
    std::string title;  // e.g. "Releases"
    std::vector<std::string> columns;
    std::vector<std::vector<ReportCell>> rows;
};

std::vector<ReportTable> BuildReportTables(const UsageReport& report);

// The cell as the terminal and the page show it: "1234", "83.3%", "0:03:12", "n/a".
std::string DisplayText(const ReportCell& cell);
// "2024-03-05".
std::string DayText(std::chrono::sys_days day);
// One line that sums up the report: its window, product and overall numbers.
std::string SummaryLine(const UsageReport& report);
