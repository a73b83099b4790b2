#pragma once
// The usage report as plain text: aligned tables for the terminal, and one CSV file per table for
// spreadsheets.
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tools/publisher/usage_report_tables.h"

// The summary line, then every table under its title, columns aligned.
void WriteTerminalReport(const UsageReport& report, const std::vector<ReportTable>& tables,
                         std::ostream& out);

// One CSV field: text made safe, quoted when it holds a comma, quote or line end, and with a
// leading "'" when a spreadsheet would take it for a formula.
std::string CsvField(const std::string& text);
// A cell as CSV wants it: counts and seconds as integers, rates as fractions, nothing for none.
std::string CsvText(const ReportCell& cell);
// Writes <folder>/<table name>.csv for every table (RFC 4180, CR LF); returns the files written.
// Throws PublisherError when a file cannot be written.
std::vector<std::filesystem::path> WriteCsvReport(const std::vector<ReportTable>& tables,
                                                  const std::filesystem::path& folder);
