#include "app/launch_flow.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "catalogue/index_retrieval.h"
#include "catalogue/release_selection.h"
#include "catalogue/trusted_index_keys.h"
#include "core/clock.h"
#include "core/endpoints.h"
#include "core/file_system.h"
#include "core/product_identity.h"
#include "core/safe_text.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "download/archive_download.h"
#include "download/image_download.h"
#include "install/archive_extraction.h"
#include "install/iso_mount.h"
#include "install/unpack_stage.h"
#include "ui/dialog_views.h"
#include "ui/version_selection.h"
#include "usage/usage_events.h"

ProductCatalog LaunchStations::FetchIndex(const std::u16string& product, std::string& error) {
    return FetchTrustedIndex(product, error, IndexKeys());
}

std::vector<std::string> LaunchStations::IndexKeys() {
    return TrustedIndexKeys();
}

SetupSelection LaunchStations::SelectRelease(const ProductCatalog& catalog,
                                             const std::string& product) {
    return ::SelectRelease(catalog, product);
}

void LaunchStations::SendUsageEvent(const std::u16string& product, const std::string& version,
                                    const std::string& action, const std::string& duration,
                                    std::uint32_t launcherVersion) {
    ::SendUsageEvent(product, version, action, duration, launcherVersion);
}

SetupSelection LaunchStations::DownloadArchive(SetupSelection selection) {
    mStage.reset();
    if (selection.filetype != "arc") {
        return ::DownloadArchive(std::move(selection));
    }
    // The package is unpacked while it downloads; the install decides whether that can be used.
    mStage = std::make_shared<UnpackStage>(selection);
    try {
        return ::DownloadArchive(std::move(selection), mStage.get());
    } catch (...) {
        mStage.reset();  // stops the stage and removes its staging folder before the message
        throw;
    }
}

SetupSelection LaunchStations::DownloadImage(SetupSelection selection) {
    return ::DownloadImage(std::move(selection));
}

void LaunchStations::InstallArchive(SetupSelection selection) {
    const std::shared_ptr<UnpackStage> stage = std::move(mStage);
    ::InstallArchive(std::move(selection), stage.get());
}

void LaunchStations::MountIsoAndOpen(SetupSelection selection) {
    ::MountIsoAndOpen(std::move(selection));
}

void RefuseUnsafeSelection(const SetupSelection& selection, const std::string& product) {
    if (!IsPlainFileName(selection.version)) {
        THROW_DOWNLOAD(product + ": refusing the release key \"" + selection.version +
                       "\" from the release index: it is no plain folder name");
    }
    if (!IsPlainFileName(selection.filename)) {
        THROW_DOWNLOAD(product + ": refusing the file name \"" + selection.filename +
                       "\" from the release index: it is no plain file name");
    }
}

namespace {

// A date and time in UTC as "2026-03-05 14:07:09 UTC", so that no locale or time zone of the
// machine enters it.
std::string UtcDateText(std::int64_t secondsSince1970) {
    using namespace std::chrono;
    const sys_seconds time{seconds{secondsSince1970}};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{time - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02lld:%02lld:%02lld UTC",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<long long>(clock.hours().count()),
                  static_cast<long long>(clock.minutes().count()),
                  static_cast<long long>(clock.seconds().count()));
    return text;
}

}  // namespace

ProductCatalog FetchTrustedIndex(const std::u16string& product, std::string& error,
                                 const std::vector<std::string>& trustedKeys) {
    SignatureOutcome outcome;
    ProductCatalog catalog =
        FetchReleaseIndex(product, error, trustedKeys, outcome, std::time(nullptr));
    const std::string productUtf8 = ToUtf8(product);
    const IndexStatement& statement = outcome.statement;
    switch (outcome.check) {
        case IndexSignatureCheck::NotRequired:
            break;
        case IndexSignatureCheck::Verified:
            LOG_RECORD(productUtf8 + ": release index verified with trusted key " +
                       std::to_string(outcome.key + 1) + " of " +
                       std::to_string(trustedKeys.size()));
            LOG_RECORD(productUtf8 + ": release index publication " +
                       std::to_string(statement.sequence) +
                       " accepted (highest before: " + std::to_string(outcome.accepted) + ")");
            break;
        case IndexSignatureCheck::Missing:
            THROW_DOWNLOAD("The release index of " + productUtf8 +
                           " is not signed by its publisher: index.sig is missing");
        case IndexSignatureCheck::Unavailable:
            // The store could not be asked: a download failure like that of the index itself.
            THROW_DOWNLOAD(productUtf8 + " is not available for download");
        case IndexSignatureCheck::Malformed:
            THROW_DOWNLOAD("The release index of " + productUtf8 +
                           " is not signed by its publisher: index.sig holds no signature");
        case IndexSignatureCheck::Mismatch:
            THROW_DOWNLOAD("The signature of the release index of " + productUtf8 +
                           " does not match: the index was not signed by its publisher or was "
                           "changed since");
        case IndexSignatureCheck::OtherProduct:
            THROW_DOWNLOAD("The release index served for " + productUtf8 +
                           " was signed for another product: \"" + SafeText(statement.product) +
                           "\"");
        case IndexSignatureCheck::Changed:
            THROW_DOWNLOAD("The release index of " + productUtf8 +
                           " was changed after it was signed: its SHA-256 is not the signed one");
        case IndexSignatureCheck::Expired:
            THROW_DOWNLOAD("The release index of " + productUtf8 + " expired on " +
                           UtcDateText(*statement.expires) +
                           ": its publisher no longer vouches for it");
        case IndexSignatureCheck::Replayed:
            THROW_DOWNLOAD("The release index of " + productUtf8 +
                           " was replayed: its publication " + std::to_string(statement.sequence) +
                           " is older than publication " + std::to_string(outcome.accepted) +
                           ", which this launcher has already used");
    }
    return catalog;
}

SetupSelection DownloadSetup(const std::u16string& product, LaunchStations& stations) {
    ScopeTimer timer(u"downloadSetup");
    std::string productUtf8 = ToUtf8(product);
    if (productUtf8.empty()) {
        THROW_DOWNLOAD("strProduct is empty");
    }
    std::string error;
    ProductCatalog catalog = stations.FetchIndex(product, error);
    if (catalog.IsNull()) {
        THROW_DOWNLOAD(productUtf8 + " is not available for download");
    }
    SetupSelection selection = stations.SelectRelease(catalog, productUtf8);
    RefuseUnsafeSelection(selection, productUtf8);
    if (selection.required_setup > LauncherVersion) {
        THROW_DOWNLOAD(productUtf8 + " requires a newer downloader");
    }
    stations.SendUsageEvent(product, selection.version, "begin", "0", LauncherVersion);
    if (selection.filetype == "iso") {
        return stations.DownloadImage(selection);
    }
    return stations.DownloadArchive(selection);
}

void RunLauncher(const std::u16string& product, LaunchStations& stations) {
    DownloadHost = ConfiguredDownloadEndpoint();
    // A refused table override ends the launch here, before any request is sent.
    ConfiguredTableEndpoint();
    std::uint64_t start = TickCount64();
    SetupSelection selection = DownloadSetup(product, stations);
    std::uint64_t duration = (TickCount64() - start) / 1000;
    stations.SendUsageEvent(product, selection.version, "success", std::to_string(duration),
                            LauncherVersion);
    if (selection.filetype == "arc") {
        stations.InstallArchive(selection);
    } else if (selection.filetype == "iso") {
        stations.MountIsoAndOpen(selection);
    }
}

int RunLaunchAndReport(LaunchStations& stations, std::u16string (*determineProduct)()) {
    try {
        RunLauncher(determineProduct(), stations);
    } catch (const AbortException&) {
        // The user cancelled: nothing more to say.
    } catch (const std::exception& e) {
        Views().ShowMessage(e.what());
    } catch (...) {
        Views().ShowMessage("The setup launcher stopped after an unexpected error.");
    }
    return 0;
}
