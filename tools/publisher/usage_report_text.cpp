#include "tools/publisher/usage_report_text.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "core/safe_text.h"
#include "tools/publisher/publisher_error.h"

namespace {

void WriteTable(const ReportTable& table, std::ostream& out) {
    std::vector<std::vector<std::string>> lines = {table.columns};
    for (const auto& row : table.rows) {
        std::vector<std::string> line;
        for (const ReportCell& cell : row) line.push_back(DisplayText(cell));
        lines.push_back(std::move(line));
    }
    std::vector<std::size_t> widths(table.columns.size(), 0);
    for (const auto& line : lines)
        for (std::size_t i = 0; i < line.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], DisplayWidth(line[i]));

    out << "\n" << table.title << "\n";
    for (std::size_t l = 0; l < lines.size(); ++l) {
        std::string text;
        for (std::size_t i = 0; i < lines[l].size() && i < widths.size(); ++i) {
            const std::string& field = lines[l][i];
            const std::string pad(widths[i] - DisplayWidth(field), ' ');
            const bool right = l > 0 && table.rows[l - 1][i].kind != ReportCell::Kind::Text;
            if (i > 0) text += "  ";
            text += right ? pad + field : field + pad;
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out << text << "\n";
    }
}

}  // namespace

void WriteTerminalReport(const UsageReport& report, const std::vector<ReportTable>& tables,
                         std::ostream& out) {
    out << SummaryLine(report) << "\n";
    for (const ReportTable& table : tables) WriteTable(table, out);
}

std::string CsvField(const std::string& text) {
    std::string field = SafeText(text);
    if (!field.empty() && std::string("=+-@").find(field.front()) != std::string::npos)
        field.insert(0, "'");
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (const char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string CsvText(const ReportCell& cell) {
    if (cell.kind == ReportCell::Kind::Text) return CsvField(cell.text);
    if (!cell.value) return std::string();
    char text[64];
    if (cell.kind == ReportCell::Kind::Rate) {
        std::snprintf(text, sizeof text, "%.4f", *cell.value);
    } else {
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(*cell.value));
    }
    return text;
}

std::vector<std::filesystem::path> WriteCsvReport(const std::vector<ReportTable>& tables,
                                                  const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::vector<std::filesystem::path> written;
    for (const ReportTable& table : tables) {
        const std::filesystem::path path = folder / (table.name + ".csv");
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        std::string line;
        for (std::size_t i = 0; i < table.columns.size(); ++i)
            line += (i > 0 ? "," : "") + CsvField(table.columns[i]);
        out << line << "\r\n";
        for (const auto& row : table.rows) {
            line.clear();
            for (std::size_t i = 0; i < row.size(); ++i)
                line += (i > 0 ? "," : "") + CsvText(row[i]);
            out << line << "\r\n";
        }
        out.close();
        if (!out) throw PublisherError("cannot write " + path.string());
        written.push_back(path);
    }
    return written;
}
