#pragma once
// The usage report of setup-publisher: what the "begin" and "success" events that launchers file
// in the table store say about a time window. The events are read (usage_report_reader), turned
// into statistics (usage_report_stats), laid out as tables (usage_report_tables) and written to
// the terminal, CSV files or one HTML page (usage_report_text, usage_report_html).
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/publisher/publisher_error.h"

// The failures of the report that have exit codes of their own.
enum class ReportFailure {
    StoreUnreachable = 3,
    CredentialRefused = 4,
    TableMissing = 5,
    EmptyWindow = 6,
};

class ReportError : public PublisherError {
  public:
    ReportError(ReportFailure failure, const std::string& message)
        : PublisherError(message), mFailure(failure) {}
    int ExitCode() const { return static_cast<int>(mFailure); }
    ReportFailure Failure() const { return mFailure; }

  private:
    ReportFailure mFailure;
};

// The days of a report, UTC, both included.
struct ReportWindow {
    std::chrono::sys_days since;
    std::chrono::sys_days until;

    std::chrono::sys_seconds Begin() const { return since; }
    std::chrono::sys_seconds End() const { return until + std::chrono::days(1); }
    bool Contains(std::chrono::sys_seconds time) const { return time >= Begin() && time < End(); }
};

// A "begin" and a "success" belong to one launch when "success" follows within this time.
inline constexpr std::chrono::seconds kLaunchMatchLimit = std::chrono::hours(24);

enum class UsageAction { Begin, Success };

// One usable event. Texts are as the store gave them (a long one shortened to a bounded text that
// still tells it apart, see KeptText), not yet made safe for showing; facts that were missing or
// unparsable carry the texts kMissing and kUnparsable.
struct UsageRecord {
    std::chrono::sys_seconds time;  // from "PartitionKey"
    UsageAction action = UsageAction::Begin;
    std::string product;
    std::string release;                           // "version"
    std::string machine;                           // "machineguid"
    std::optional<std::uint64_t> durationSeconds;  // "success" with a parsable "duration"
    std::string osVersion;                         // "OS_Major.OS_Minor"
    std::string architecture;
    std::string memoryClass;  // from "physicalmemory_gib"
    std::string country;      // "iso3166_country"
    std::string locale;       // "locale_sname"
};

inline constexpr const char* kMissing = "(missing)";
inline constexpr const char* kUnparsable = "(unparsable)";

// What was read, and what was wrong with it: every entity of the window and of the day either side
// of it (read for matching launches across its edges).
struct EntityQuality {
    std::uint64_t entitiesRead = 0;
    std::uint64_t pages = 0;
    std::uint64_t entitiesLeftOut = 0;              // unusable: a key member missing or unparsable
    std::uint64_t entitiesUnreadable = 0;           // left out: no valid JSON by itself
    std::map<std::string, std::uint64_t> problems;  // "duration unparsable" -> entities
};

struct UsageEvents {
    std::vector<UsageRecord> records;  // in the window and within kLaunchMatchLimit of it
    EntityQuality quality;
};

// Statistics of the launches that began in the window.
struct ReleaseStats {
    std::string product;
    std::string release;
    std::uint64_t begun = 0;
    std::uint64_t finished = 0;
    std::uint64_t finishedWithoutDuration = 0;
    std::optional<std::uint64_t> medianSeconds;  // of finished downloads with a duration
    std::optional<std::uint64_t> p90Seconds;
};

struct DayStats {
    std::chrono::sys_days day;
    std::uint64_t begun = 0;
    std::uint64_t finished = 0;  // of the launches begun that day
};

struct SplitRow {
    std::string value;
    std::uint64_t begun = 0;
    std::uint64_t finished = 0;
};

struct Split {
    std::string name;            // file stem of its CSV, e.g. "architectures"
    std::string title;           // e.g. "Architecture"
    std::vector<SplitRow> rows;  // most launches first; beyond kSplitRows folded into one row
};

struct DurationBucket {
    std::string label;
    std::uint64_t upToSeconds = 0;  // upper bound, exclusive; 0 for the last, open bucket
    std::uint64_t count = 0;
};

struct UsageReport {
    ReportWindow window;
    std::string product;  // the one product asked for, or empty
    std::vector<ReleaseStats> releases;
    ReleaseStats total;          // over every release (product and release empty)
    std::vector<DayStats> days;  // every day of the window
    std::vector<Split> splits;
    std::vector<DurationBucket> durations;
    std::uint64_t successesWithoutBegin = 0;  // in the window, no matching "begin"
    EntityQuality quality;
};

// Rows of a split shown one by one; the rest are added up in one row.
inline constexpr std::size_t kSplitRows = 25;
