// report: what the usage events of a time window say, on the terminal, as CSV files or as one
// HTML page with charts.
#include <cstdio>
#include <iostream>
#include <tuple>

#include "core/endpoints.h"
#include "core/safe_text.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publisher_command.h"
#include "tools/publisher/usage_report_html.h"
#include "tools/publisher/usage_report_reader.h"
#include "tools/publisher/usage_report_stats.h"
#include "tools/publisher/usage_report_text.h"

namespace {

using namespace std::chrono;

// A read-only SAS token for the usage table, when not given with --sas.
constexpr const char* kSasVariable = "SETUP_PUBLISHER_TABLE_SAS";
constexpr int kDefaultDays = 30;

constexpr const char* kFooter =
    "A launch is counted on the UTC day of its \"begin\" event. A \"begin\" and a \"success\" "
    "belong to one launch when they share the product, the release and the machine identifier "
    "and the \"success\" follows the \"begin\" within 24 hours; a \"success\" belongs to the "
    "latest such \"begin\". Events up to 24 hours outside the window are read for that matching "
    "only. Durations are those of the \"success\" events; median and 90th percentile by the "
    "nearest-rank method. Entities that lack a member or carry an unparsable one are counted in "
    "the table \"Entities read\"; without product, release, machine, action or a valid "
    "PartitionKey they are left out, and so are entities that are no valid JSON by themselves "
    "(counted on a row of their own).\n\n"
    "Credentials: a read-only SAS token for the table (--sas or SETUP_PUBLISHER_TABLE_SAS), else "
    "the account key (SETUP_PUBLISHER_ACCOUNT, SETUP_PUBLISHER_ACCOUNT_KEY).\n\n"
    "Exit codes: 0 report written, 1 other failure, 2 usage error, 3 table store unreachable, "
    "4 credentials refused, 5 no such table, 6 no events in the window.";

// Exactly "YYYY-MM-DD" of a real day from 1970 to 9999: no sign, no blanks, no other widths.
std::optional<sys_days> ParseDay(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    int fields[3] = {};
    for (const auto& [at, length, field] :
         {std::tuple{0, 4, 0}, std::tuple{5, 2, 1}, std::tuple{8, 2, 2}}) {
        for (int i = at; i < at + length; ++i) {
            const char c = text[static_cast<std::size_t>(i)];
            if (c < '0' || c > '9') return std::nullopt;
            fields[field] = fields[field] * 10 + (c - '0');
        }
    }
    const year_month_day date{year(fields[0]), month(static_cast<unsigned>(fields[1])),
                              day(static_cast<unsigned>(fields[2]))};
    if (fields[0] < 1970 || !date.ok()) return std::nullopt;
    return sys_days(date);
}

// A SAS token is sent as it is, so it may hold only the characters of an encoded query.
bool PlausibleSasToken(const std::string& token) {
    return !token.empty() && token.find_first_not_of(
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                 "0123456789%&=-._~:/+") == std::string::npos;
}

// "reading usage events: 3 pages, 2500 entities" redrawn in place while pages arrive.
class ReadingLine {
  public:
    ReadingLine() : mVisible(StandardErrorIsTerminal()) {}
    ~ReadingLine() { End(); }
    ReadingLine(const ReadingLine&) = delete;
    ReadingLine& operator=(const ReadingLine&) = delete;

    // Ends the line, so that what follows on the terminal starts on a line of its own.
    void End() {
        if (mVisible && mDrawn) std::fputc('\n', stderr);
        mDrawn = false;
    }
    void Show(const EntityQuality& quality) {
        if (!mVisible) return;
        mDrawn = true;
        std::fprintf(stderr, "\rreading usage events: %s, %s\x1b[K",
                     Counted(quality.pages, "page").c_str(),
                     Counted(quality.entitiesRead, "entity").c_str());
        std::fflush(stderr);
    }

  private:
    bool mVisible;
    bool mDrawn = false;
};

class ReportCommand : public PublisherCommand {
  public:
    CLI::App* Add(CLI::App& app) override {
        CLI::App* command = app.add_subcommand(
            "report",
            "Report what the usage events of a time window say: launches begun, downloads "
            "finished, durations, and the systems and countries they came from");
        // The days are checked in Prepare, so that a bad one gives one line of its own.
        mSinceOption = command->add_option(
            "--since", mSince, "First day, UTC, YYYY-MM-DD (default: 29 days before --until)");
        mUntilOption = command->add_option("--until", mUntil,
                                           "Last day, UTC, YYYY-MM-DD, included (default: today)");
        command->add_option("-p,--product", mProduct, "Only this product");
        command->add_option("--csv", mCsvFolder, "Write one CSV file per table into this folder");
        command->add_option("--html", mHtmlFile, "Write one HTML page with charts and tables");
        command->add_option("--sas", mSas,
                            "Read-only SAS token for the table (default: "
                            "SETUP_PUBLISHER_TABLE_SAS; without one, the account key)");
        command->add_option("-e,--endpoint", mEndpoint,
                            "Table endpoint (default: SETUP_LAUNCHER_TABLE_ENDPOINT or the "
                            "built-in one)");
        command->add_option("--table", mTable, "Table of the usage events")->capture_default_str();
        command->footer(kFooter);
        return command;
    }

    int Run() override {
        try {
            ReportSource source;
            if (!Prepare(source)) return kExitUsage;
            ReadingLine line;
            const UsageEvents events =
                ReadUsageEvents(source, [&line](const EntityQuality& q) { line.Show(q); });
            line.End();
            const UsageReport report = ComputeUsageReport(events, source.window, mProduct);
            if (report.total.begun == 0 && report.successesWithoutBegin == 0)
                throw ReportError(ReportFailure::EmptyWindow, EmptyMessage(report));
            Write(report);
            return 0;
        } catch (const ReportError& error) {
            std::cout.flush();
            std::cerr << "setup-publisher: " << error.what() << "\n";
            return error.ExitCode();
        }
    }

  private:
    bool Prepare(ReportSource& source) {
        std::optional<sys_days> since, until;
        for (const auto& [option, text, parsed] : {std::tuple{mSinceOption, &mSince, &since},
                                                   std::tuple{mUntilOption, &mUntil, &until}}) {
            if (option->count() == 0) continue;
            *parsed = ParseDay(*text);
            if (!*parsed) {
                std::cerr << "setup-publisher: " << option->get_name()
                          << " must be a day of the form YYYY-MM-DD from 1970 to 9999, not \""
                          << SafeText(*text) << "\"\n";
                return false;
            }
        }
        const sys_days today = floor<days>(system_clock::now());
        source.window.until = until.value_or(today);
        source.window.since = since.value_or(source.window.until - days(kDefaultDays - 1));
        if (source.window.since > source.window.until) {
            std::cerr << "setup-publisher: --since must not be after --until\n";
            return false;
        }
        source.table = mTable;
        source.product = mProduct;
        source.access.table = TableEndpoint();
        std::string sas = mSas.empty() ? Environment(kSasVariable) : mSas;
        if (!sas.empty() && sas.front() == '?') sas.erase(0, 1);
        if (!sas.empty()) {
            if (!PlausibleSasToken(sas)) {
                std::cerr << "setup-publisher: the SAS token holds characters that no token has\n";
                return false;
            }
            source.access.sasToken = sas;
            return true;
        }
        source.access.account = Environment(kAccountVariable);
        source.access.key = Environment(kAccountKeyVariable);
        if (source.access.account.empty() || source.access.key.empty())
            throw PublisherError(std::string("give a read-only SAS token (--sas or ") +
                                 kSasVariable + "), or set " + kAccountVariable + " and " +
                                 kAccountKeyVariable);
        return true;
    }

    Endpoint TableEndpoint() const {
        if (mEndpoint.empty()) return ConfiguredTableEndpoint();
        const auto endpoint = ParseEndpoint(mEndpoint);
        if (!endpoint)
            throw PublisherError("endpoint must look like https://host[:port], not " +
                                 SafeText(mEndpoint));
        return *endpoint;
    }

    std::string EmptyMessage(const UsageReport& report) const {
        std::string message = "no usage events from " + DayText(report.window.since) + " to " +
                              DayText(report.window.until) + " (UTC)";
        if (!mProduct.empty()) message += " for product " + SafeText(mProduct);
        message += " in the table \"" + SafeText(mTable) + "\"";
        const std::uint64_t leftOut =
            report.quality.entitiesLeftOut + report.quality.entitiesUnreadable;
        if (leftOut > 0) message += "; " + Counted(leftOut, "entity") + " could not be used";
        return message;
    }

    void Write(const UsageReport& report) const {
        const std::vector<ReportTable> tables = BuildReportTables(report);
        if (mCsvFolder.empty() && mHtmlFile.empty()) {
            WriteTerminalReport(report, tables, std::cout);
            return;
        }
        std::cout << SummaryLine(report) << "\n";
        if (!mCsvFolder.empty()) {
            for (const auto& file : WriteCsvReport(tables, mCsvFolder))
                std::cout << "wrote " << file.string() << "\n";
        }
        if (!mHtmlFile.empty()) {
            WriteHtmlReport(report, tables, mHtmlFile);
            std::cout << "wrote " << mHtmlFile << "\n";
        }
    }

    std::string mSince;
    std::string mUntil;
    CLI::Option* mSinceOption = nullptr;
    CLI::Option* mUntilOption = nullptr;
    std::string mProduct;
    std::string mCsvFolder;
    std::string mHtmlFile;
    std::string mSas;
    std::string mEndpoint;
    std::string mTable = "downloads";
};

}  // namespace

std::unique_ptr<PublisherCommand> MakeReportCommand() {
    return std::make_unique<ReportCommand>();
}
