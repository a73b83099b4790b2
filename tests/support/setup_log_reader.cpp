#include "support/setup_log_reader.h"

#include <regex>

#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "support/test_environment.h"

std::string SetupLogText() {
    return ReadFileBytes(ToUtf8(LogFilePath()));
}

std::vector<LoggedRecord> LoggedRecords(const std::string& log) {
    static const std::regex kRecord(R"(^(.+)\((-?[0-9]+)\): (.*)$)");
    std::vector<LoggedRecord> records;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find("\r\n", start);
        if (end == std::string::npos) {
            end = log.size();
        }
        const std::string line = log.substr(start, end - start);
        std::smatch match;
        if (std::regex_match(line, match, kRecord)) {
            records.push_back({match[1].str(), std::stoi(match[2].str()), match[3].str()});
        }
        start = end + 2;
    }
    return records;
}

::testing::AssertionResult HasRecordFromASite(const std::string& log, std::string_view text) {
    for (const LoggedRecord& record : LoggedRecords(log)) {
        if (record.text != text) {
            continue;
        }
        if (record.source.size() > 4 && record.source.ends_with(".cpp") && record.line > 0) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "\"" << text << "\" is logged from \"" << record.source << "\" line "
               << record.line << ", not from a source file's line";
    }
    return ::testing::AssertionFailure() << "no record \"" << text << "\" in:\n" << log;
}
