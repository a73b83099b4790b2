#include "core/setup_log.h"

#include <atomic>
#include <sstream>

#include "core/clock.h"
#include "core/text_conversion.h"

namespace {
std::atomic<int> gOnceFlag{0};
}

void ResetLogOnceFlagForTesting() {
    gOnceFlag = 0;
}

void LogRecord(const std::string& text, int line, const char* source) {
    std::ostringstream record;
    record << source << "(" << line << "): " << text;
    int expected = 0;
    bool first = gOnceFlag.compare_exchange_strong(expected, 1);
    AppendLogLine(LogFilePath(), record.str(), first);
}

void LogRecordWide(const std::u16string& text, int line, const char* source) {
    LogRecord(ToUtf8(text), line, source);
}

ScopeTimer::ScopeTimer(std::u16string name) : mStart(TickCount64()), mName(std::move(name)) {}

ScopeTimer::~ScopeTimer() {
    try {
        std::uint64_t elapsed = (TickCount64() - mStart) / 1000;
        LogRecordWide(mName + u": elapsed seconds: " + ToUtf16(std::to_string(elapsed)), __LINE__,
                      __FILE__);
    } catch (...) {
        // Only running out of memory can get here; a destructor must not throw.
    }
}

void ThrowAbort(int line, const char* source) {
    LogRecord("throwing AbortException", line, source);
    throw AbortException();
}

void ThrowDownload(const std::string& message, int line, const char* source) {
    LogRecord("throwing DownloadException(" + message + ")", line, source);
    throw DownloadException(message);
}

void ThrowZip(const std::string& message, int line, const char* source) {
    LogRecord("throwing ZipException(" + message + ")", line, source);
    throw ZipException(message);
}
