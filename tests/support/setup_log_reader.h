#pragma once
// Reads the launcher's log as the tests see it: the whole text of the file the log writes to
// (LogFilePath(), so the test's TMPDIR decides), and its records "source(line): text".
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

struct LoggedRecord {
    std::string source;  // the writing site's source file, as the compiler named it
    int line = 0;
    std::string text;
};

// The log file's bytes; empty when nothing was logged.
std::string SetupLogText();
// The records of a log text, in order; a line of another form is left out.
std::vector<LoggedRecord> LoggedRecords(const std::string& log);
// Success when a record of the log has exactly this text and names a C++ source and a line of it
// as its site, whatever that source file is called.
::testing::AssertionResult HasRecordFromASite(const std::string& log, std::string_view text);
