#include "tools/publisher/usage_report_html.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <tuple>

#include "core/safe_text.h"
#include "tools/publisher/publisher_error.h"

namespace {

constexpr int kWidth = 960;
constexpr const char* kBegunColour = "#9cb9dc";
constexpr const char* kFinishedColour = "#2c5d9c";
constexpr std::size_t kChartReleases = 30;

constexpr const char* kStyle = R"(
body { font-family: sans-serif; margin: 2em auto; max-width: 1000px; color: #222; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { font-size: 1.15em; margin-top: 1.8em; }
p.summary { font-size: 1.05em; }
p.note { color: #555; font-size: 0.9em; }
svg { display: block; }
svg text { font-family: sans-serif; font-size: 11px; fill: #333; }
table { border-collapse: collapse; margin: 0.5em 0 1.5em 0; font-size: 0.9em; }
caption { text-align: left; font-weight: bold; padding: 0.3em 0; white-space: nowrap; }
th, td { border-bottom: 1px solid #ddd; padding: 0.25em 0.8em; }
td { white-space: nowrap; }
th { background: #f0f3f7; text-align: left; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
)";

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// A step of 1, 2 or 5 times a power of ten, at least 1, so that about four steps reach top.
double NiceStep(double top) {
    const double rough = std::max(top / 4.0, 1.0);
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0})
        if (factor * power >= rough) return factor * power;
    return 10.0 * power;
}

std::string Text(double x, double y, const std::string& text, const char* anchor = "start") {
    return "<text x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" text-anchor=\"" + anchor + "\">" +
           HtmlText(text) + "</text>";
}

std::string Rect(double x, double y, double width, double height, const char* colour,
                 const std::string& tooltip) {
    return "<rect x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" width=\"" + Number(width) +
           "\" height=\"" + Number(height) + "\" fill=\"" + colour + "\"><title>" +
           HtmlText(tooltip) + "</title></rect>";
}

std::string Line(double x1, double y1, double x2, double y2, const char* colour) {
    return "<line x1=\"" + Number(x1) + "\" y1=\"" + Number(y1) + "\" x2=\"" + Number(x2) +
           "\" y2=\"" + Number(y2) + "\" stroke=\"" + colour + "\"/>";
}

std::string SvgOpen(int height, const std::string& label) {
    return "<svg width=\"" + std::to_string(kWidth) + "\" height=\"" + std::to_string(height) +
           "\" viewBox=\"0 0 " + std::to_string(kWidth) + " " + std::to_string(height) +
           "\" role=\"img\" aria-label=\"" + HtmlText(label) + "\">\n";
}

// Horizontal grid lines with their values, for a plot between top and bottom.
std::string Grid(double left, double right, double top, double bottom, double maximum,
                 double step) {
    std::string svg;
    for (double value = 0; value <= maximum + step / 2; value += step) {
        const double y = bottom - (bottom - top) * value / maximum;
        svg += Line(left, y, right, y, value == 0 ? "#888" : "#e4e4e4");
        char label[32];
        std::snprintf(label, sizeof label, "%.0f", value);
        svg += Text(left - 6, y + 4, label, "end") + "\n";
    }
    return svg;
}

std::string Legend(double x, double y) {
    return Rect(x, y - 9, 12, 10, kBegunColour, "launches begun") +
           Text(x + 16, y, "launches begun") +
           Rect(x + 130, y - 9, 12, 10, kFinishedColour, "downloads finished") +
           Text(x + 146, y, "downloads finished") + "\n";
}

std::string DayChart(const UsageReport& report) {
    const double left = 50, right = kWidth - 20, top = 30, bottom = 250;
    std::uint64_t most = 0;
    for (const DayStats& day : report.days) most = std::max(most, day.begun);
    const double step = NiceStep(static_cast<double>(most));
    const double maximum = step * std::max(1.0, std::ceil(static_cast<double>(most) / step));
    std::string svg = SvgOpen(280, "Launches begun and downloads finished per day") +
                      Grid(left, right, top, bottom, maximum, step) + Legend(right - 290, 16);
    const double slot = (right - left) / static_cast<double>(report.days.size());
    const std::size_t every = (report.days.size() + 14) / 15;
    for (std::size_t i = 0; i < report.days.size(); ++i) {
        const DayStats& day = report.days[i];
        const double x = left + slot * static_cast<double>(i);
        const double bar = slot * 0.4;
        const std::string date = DayText(day.day);
        for (const auto& [count, colour, offset, what] :
             {std::tuple{day.begun, kBegunColour, 0.1, "launches begun"},
              std::tuple{day.finished, kFinishedColour, 0.5, "downloads finished"}}) {
            const double height = (bottom - top) * static_cast<double>(count) / maximum;
            svg += Rect(x + slot * offset, bottom - height, bar, height, colour,
                        date + ": " + std::to_string(count) + " " + what);
        }
        if (i % every == 0) svg += Text(x + slot / 2, bottom + 16, date.substr(5), "middle");
        svg += "\n";
    }
    return svg + "</svg>\n";
}

std::string ReleaseChart(const UsageReport& report) {
    const std::size_t rows = std::min(report.releases.size(), kChartReleases);
    const double left = 230, right = kWidth - 150, rowHeight = 24, top = 10;
    const int height = static_cast<int>(top + rowHeight * static_cast<double>(rows) + 30);
    std::string svg = SvgOpen(height, "Completion rate per release");
    const double bottom = top + rowHeight * static_cast<double>(rows);
    for (int percent = 0; percent <= 100; percent += 25) {
        const double x = left + (right - left) * percent / 100.0;
        svg += Line(x, top, x, bottom, percent == 0 ? "#888" : "#e4e4e4") +
               Text(x, bottom + 16, std::to_string(percent) + "%", "middle") + "\n";
    }
    for (std::size_t i = 0; i < rows; ++i) {
        const ReleaseStats& stats = report.releases[i];
        const double y = top + rowHeight * static_cast<double>(i);
        const double rate = stats.begun == 0 ? 0.0
                                             : static_cast<double>(stats.finished) /
                                                   static_cast<double>(stats.begun);
        const std::string name =
            BoundedText(stats.product, 24) + " " + BoundedText(stats.release, 12);
        const std::string value = Number(rate * 100.0) + "% (" + std::to_string(stats.finished) +
                                  " of " + std::to_string(stats.begun) + ")";
        svg += Text(left - 8, y + 16, name, "end") +
               Rect(left, y + 5, (right - left) * rate, rowHeight - 8, kFinishedColour,
                    name + ": " + value) +
               Text(left + (right - left) * rate + 6, y + 16, value) + "\n";
    }
    return svg + "</svg>\n";
}

std::string DurationChart(const UsageReport& report) {
    const double left = 50, right = kWidth - 20, top = 20, bottom = 200;
    std::uint64_t most = 0;
    for (const DurationBucket& bucket : report.durations) most = std::max(most, bucket.count);
    const double step = NiceStep(static_cast<double>(most));
    const double maximum = step * std::max(1.0, std::ceil(static_cast<double>(most) / step));
    std::string svg = SvgOpen(230, "Duration of finished downloads") +
                      Grid(left, right, top, bottom, maximum, step);
    const double slot = (right - left) / static_cast<double>(report.durations.size());
    for (std::size_t i = 0; i < report.durations.size(); ++i) {
        const DurationBucket& bucket = report.durations[i];
        const double x = left + slot * static_cast<double>(i);
        const double height = (bottom - top) * static_cast<double>(bucket.count) / maximum;
        svg += Rect(x + slot * 0.15, bottom - height, slot * 0.7, height, kFinishedColour,
                    bucket.label + ": " + std::to_string(bucket.count) + " downloads") +
               Text(x + slot / 2, bottom - height - 4, std::to_string(bucket.count), "middle") +
               Text(x + slot / 2, bottom + 16, bucket.label, "middle") + "\n";
    }
    return svg + "</svg>\n";
}

std::string HtmlTable(const ReportTable& table) {
    std::string html = "<table id=\"" + HtmlText(table.name) + "\">\n<caption>" +
                       HtmlText(table.title) + "</caption>\n<thead><tr>";
    for (const std::string& column : table.columns) html += "<th>" + HtmlText(column) + "</th>";
    html += "</tr></thead>\n<tbody>\n";
    for (const auto& row : table.rows) {
        html += "<tr>";
        for (const ReportCell& cell : row) {
            html += cell.kind == ReportCell::Kind::Text ? "<td>" : "<td class=\"number\">";
            html += HtmlText(DisplayText(cell)) + "</td>";
        }
        html += "</tr>\n";
    }
    return html + "</tbody>\n</table>\n";
}

}  // namespace

std::string HtmlText(const std::string& text) {
    std::string out;
    for (const char c : SafeText(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string UsageReportHtml(const UsageReport& report, const std::vector<ReportTable>& tables) {
    const std::string title =
        "Usage report " + DayText(report.window.since) + " to " + DayText(report.window.until);
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'\"/>\n<title>" +
        HtmlText(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n<h1>" +
        HtmlText(title) + "</h1>\n<p class=\"summary\">" + HtmlText(SummaryLine(report)) +
        "</p>\n<p class=\"note\">A launch begins with its \"begin\" event in the window; it "
        "finished when a \"success\" of the same product, release and machine follows within 24 "
        "hours. Durations are those the launcher reports, from fetching the release index to the "
        "end of the download.</p>\n";
    html += "<h2>Launches and completions per day</h2>\n" + DayChart(report);
    html += "<h2>Completion rate per release</h2>\n" + ReleaseChart(report);
    if (report.releases.size() > kChartReleases)
        html += "<p class=\"note\">The first " + std::to_string(kChartReleases) +
                " releases; all are in the table below.</p>\n";
    html += "<h2>Duration of finished downloads</h2>\n" + DurationChart(report);
    html += "<h2>Tables</h2>\n";
    for (const ReportTable& table : tables) html += HtmlTable(table);
    return html + "</body>\n</html>\n";
}

void WriteHtmlReport(const UsageReport& report, const std::vector<ReportTable>& tables,
                     const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << UsageReportHtml(report, tables);
    out.close();
    if (!out) throw PublisherError("cannot write " + file.string());
}
