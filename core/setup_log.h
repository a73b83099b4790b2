#pragma once
// The plain-text log (one record a line, CR LF, UTF-8, no time stamps) and the exception family
// through which every failure travels to the entry. Every throw site writes its record first:
// use the THROW_* macros, which log "throwing <Class>(<message>)" with the site's file and line.
#include <cstdint>
#include <exception>
#include <string>

// Log file size above which the file is deleted at the first record of a process.
inline constexpr std::uint64_t kLogSizeLimit = 26214400;

// Appends one record "source(line): text" to the log file; never throws for file problems.
void LogRecord(const std::string& text, int line, const char* source);
void LogRecordWide(const std::u16string& text, int line, const char* source);

// The log file's path (worked out again for every record).
std::u16string LogFilePath();
// Platform half: appends one record and its line end to the file; when checkSize is set, a file
// larger than kLogSizeLimit is deleted first. Never throws for file problems.
void AppendLogLine(const std::u16string& path, const std::string& record, bool checkSize);
// Makes the next record behave like the first of a process again (tests of the size rule).
void ResetLogOnceFlagForTesting();

#define LOG_RECORD(text) ::LogRecord((text), __LINE__, __FILE__)
#define LOG_RECORD_WIDE(text) ::LogRecordWide((text), __LINE__, __FILE__)

// Writes "<name>: elapsed seconds: <n>" when its scope ends, by return or by exception.
class ScopeTimer {
  public:
    explicit ScopeTimer(std::u16string name);
    ~ScopeTimer();
    ScopeTimer(const ScopeTimer&) = delete;
    ScopeTimer& operator=(const ScopeTimer&) = delete;

  private:
    std::uint64_t mStart;
    std::u16string mName;
};

// A user's cancel: ends the launch silently.
class AbortException : public std::exception {
  public:
    AbortException() = default;
};

// The message text that DownloadException and ZipException carry and return from what().
class ExceptionMessage {
  public:
    explicit ExceptionMessage(std::string text) : mText(std::move(text)) {}
    const char* c_str() const noexcept { return mText.c_str(); }

  private:
    std::string mText;
};

class DownloadException : public std::exception {
  public:
    explicit DownloadException(const char* message) : mMessage(message) {}
    explicit DownloadException(const std::string& message) : mMessage(message) {}
    const char* what() const noexcept override { return mMessage.c_str(); }

  private:
    ExceptionMessage mMessage;
};

class ZipException : public std::exception {
  public:
    explicit ZipException(const char* message) : mMessage(message) {}
    explicit ZipException(const std::string& message) : mMessage(message) {}
    const char* what() const noexcept override { return mMessage.c_str(); }

  private:
    ExceptionMessage mMessage;
};

[[noreturn]] void ThrowAbort(int line, const char* source);
[[noreturn]] void ThrowDownload(const std::string& message, int line, const char* source);
[[noreturn]] void ThrowZip(const std::string& message, int line, const char* source);

#define THROW_ABORT() ::ThrowAbort(__LINE__, __FILE__)
#define THROW_DOWNLOAD(message) ::ThrowDownload((message), __LINE__, __FILE__)
#define THROW_ZIP(message) ::ThrowZip((message), __LINE__, __FILE__)
