#pragma once
// The usage report as one self-contained HTML page: charts drawn as inline SVG (launches and
// completions per day, completion rate per release, duration distribution) and the tables under
// them. The page loads nothing: no scripts, fonts, images or style sheets from elsewhere, and its
// content security policy forbids it. It is also well-formed XML, so strict parsers read it.
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publisher/usage_report_tables.h"

// Text made safe and escaped for HTML content and attribute values.
std::string HtmlText(const std::string& text);

std::string UsageReportHtml(const UsageReport& report, const std::vector<ReportTable>& tables);

// Writes the page; throws PublisherError when the file cannot be written.
void WriteHtmlReport(const UsageReport& report, const std::vector<ReportTable>& tables,
                     const std::filesystem::path& file);
