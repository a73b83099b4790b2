// setup-publisher: the publishing side of the launcher. It packs a folder into an "arc" package,
// describes release files in a product's index (on a local staging folder first), uploads them to
// the blob store and verifies a published product the way a launcher reads it.
#include <cstdlib>
#include <iostream>

#include <CLI/CLI.hpp>

#include "core/endpoints.h"
#include "tools/publisher/package_writer.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publisher_error.h"
#include "tools/publisher/release_builder.h"
#include "tools/publisher/release_uploader.h"
#include "tools/publisher/release_verifier.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kAccountVariable = "SETUP_PUBLISHER_ACCOUNT";
const char* const kAccountKeyVariable = "SETUP_PUBLISHER_ACCOUNT_KEY";

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

Endpoint ChooseEndpoint(const std::string& text) {
    if (text.empty()) {
        return ConfiguredDownloadEndpoint();
    }
    const auto endpoint = ParseEndpoint(text);
    if (!endpoint) {
        throw PublisherError("endpoint must look like https://host[:port], not " + text);
    }
    return *endpoint;
}

void PrintNotes(const std::vector<std::string>& notes) {
    for (const std::string& note : notes) {
        std::cout << "note: " << note << "\n";
    }
}

struct PackOptions {
    std::string folder;
    std::string output;
    std::string startCommands;
};

int RunPack(const PackOptions& options) {
    std::vector<StartCommandLine> commands;
    if (!options.startCommands.empty()) {
        commands = ReadStartCommandFile(options.startCommands);
    }
    const PackSummary summary = PackFolder(options.folder, commands, options.output);
    std::cout << "Packed " << summary.files << " files (" << SizeText(summary.bytes) << ") as "
              << summary.contents.size() << " distinct contents into " << options.output << " ("
              << SizeText(summary.packageSize) << ")\n";
    if (commands.empty()) {
        std::cout << "note: no start commands: the launcher opens the extraction folder\n";
    }
    PrintNotes(summary.notes);
    return 0;
}

int RunRelease(ReleaseRequest request, const std::string& file, const std::string& staging) {
    request.file = file;
    request.staging = staging;
    if (request.displayText.empty()) {
        request.displayText = request.key;
    }
    const ReleaseResult result = AddRelease(request);
    std::cout << "Release " << request.key;
    if (!request.language.empty()) {
        std::cout << " (" << request.language << ")";
    }
    std::cout << ": " << Counted(result.digests.size, "byte") << ", "
              << Counted(result.digests.blockMd5s.size(), "block") << " of "
              << Counted(request.blocksize, "byte") << "\n"
              << "  sha256  " << result.digests.sha256 << "\n"
              << "  file    " << result.releaseFile.string() << "\n"
              << "  digests " << result.digestListFile.string() << "\n"
              << "  index   " << result.indexFile.string() << "\n";
    PrintNotes(result.notes);
    std::cout << "The launcher offers:\n";
    for (const std::string& line : DescribeOffer(result.indexFile)) {
        std::cout << "  " << line << "\n";
    }
    return 0;
}

struct UploadOptions {
    UploadRequest request;
    std::string staging;
    std::string endpoint;
};

int RunUpload(UploadOptions options) {
    UploadRequest& request = options.request;
    request.staging = options.staging;
    request.endpoint = ChooseEndpoint(options.endpoint);
    request.account = Environment(kAccountVariable);
    request.accountKey = Environment(kAccountKeyVariable);
    if (request.account.empty() || request.accountKey.empty()) {
        throw PublisherError(std::string("set ") + kAccountVariable + " and " +
                             kAccountKeyVariable + " to the storage account's name and key");
    }
    const UploadResult result = UploadStaged(request);
    for (const std::string& object : result.uploaded) {
        std::cout << "uploaded " << object << "\n";
    }
    PrintNotes(result.notes);
    return 0;
}

struct VerifyOptions {
    std::string product;
    std::string endpoint;
    std::string staging;
};

int RunVerify(const VerifyOptions& options) {
    const auto source = options.staging.empty() ? MakeStoreSource(ChooseEndpoint(options.endpoint))
                                                : MakeStagingSource(options.staging);
    const VerifyReport report = VerifyProduct(*source, options.product);
    PrintReport(report, std::cout);
    return report.ProblemCount() == 0 ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Packs, describes, uploads and verifies the releases that the setup launcher "
        "installs.",
        "setup-publisher"};
    app.require_subcommand(1);
    // GNU style: an option given twice keeps its last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.footer(
        std::string("Environment:\n"
                    "  SETUP_LAUNCHER_DOWNLOAD_ENDPOINT  blob store for upload and verify "
                    "(scheme://host[:port])\n"
                    "  SETUP_LAUNCHER_CA_FILE            further trusted certificate authorities "
                    "(PEM)\n  ") +
        kAccountVariable + "           storage account name (upload)\n  " + kAccountKeyVariable +
        "       storage account key, base64 (upload)");

    PackOptions pack;
    CLI::App* packCommand = app.add_subcommand(
        "pack",
        "Turn a folder into an \"arc\" package: each distinct content stored once under "
        "its SHA-256, with arcinfo.json and arcconfig.json");
    packCommand->add_option("folder", pack.folder, "Folder to pack")
        ->required()
        ->check(CLI::ExistingDirectory);
    packCommand->add_option("-o,--output", pack.output, "Package file to write")->required();
    packCommand
        ->add_option("-s,--start-commands", pack.startCommands,
                     "File of start commands, one a line: language (*, de, en) bitness "
                     "(*, x64, x86) command")
        ->check(CLI::ExistingFile);

    ReleaseRequest release;
    std::string releaseFile;
    std::string releaseStaging;
    CLI::App* releaseCommand = app.add_subcommand(
        "release",
        "Add or replace a release (or one of its language editions) in a product's "
        "index in a staging folder: computes size, SHA-256 and the block digest list");
    releaseCommand->add_option("file", releaseFile, "The package or disc image")
        ->required()
        ->check(CLI::ExistingFile);
    releaseCommand->add_option("-s,--staging", releaseStaging, "Staging folder (mirrors the store)")
        ->required();
    releaseCommand->add_option("-p,--product", release.product, "Product, e.g. tarnwick-x64-sql")
        ->required();
    releaseCommand->add_option("-r,--release", release.key, "Release key, e.g. 2024.1")->required();
    releaseCommand->add_option("-t,--text", release.displayText,
                               "Display text in the version list (default: the key)");
    releaseCommand->add_option("--type", release.filetype, "File type")
        ->check(CLI::IsMember({"arc", "iso"}))
        ->capture_default_str();
    releaseCommand->add_option("-l,--language", release.language,
                               "Language edition, a locale name such as de-DE");
    releaseCommand
        ->add_option("-b,--block-size", release.blocksize, "Verified block size, e.g. 4MiB")
        ->transform(CLI::AsSizeValue(false))
        ->capture_default_str();
    releaseCommand
        ->add_option("--required-setup", release.requiredSetup,
                     "Lowest launcher version that may install it")
        ->capture_default_str();
    releaseCommand->add_option("--container", release.container,
                               "Blob container of the release's files (default: the product)");
    releaseCommand->add_option("--filename", release.filename,
                               "Object name of the file (default: product-release[-language]"
                               ".zip or .iso)");
    releaseCommand->add_flag("--current", release.makeCurrent, "Make it the current release");

    UploadOptions upload;
    CLI::App* uploadCommand = app.add_subcommand(
        "upload",
        "Publish staged releases and then the index to the blob store (SharedKey "
        "signed; containers allow anonymous reading of blobs)");
    uploadCommand->add_option("-s,--staging", upload.staging, "Staging folder")
        ->required()
        ->check(CLI::ExistingDirectory);
    uploadCommand->add_option("-p,--product", upload.request.product, "Product")->required();
    uploadCommand
        ->add_option("-r,--release", upload.request.releases,
                     "Release key to upload (repeatable; default: every staged release)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    uploadCommand->add_option("-l,--language", upload.request.language,
                              "Only this language edition");
    uploadCommand->add_flag("--index-only", upload.request.indexOnly,
                            "Upload only the index (releases already published)");
    uploadCommand->add_option("-e,--endpoint", upload.endpoint,
                              "Blob endpoint (default: SETUP_LAUNCHER_DOWNLOAD_ENDPOINT or the "
                              "built-in one)");

    VerifyOptions verify;
    CLI::App* verifyCommand =
        app.add_subcommand("verify",
                           "Check a published product as the launcher reads it: every release and "
                           "language edition, block by block, and every package member");
    verifyCommand->add_option("-p,--product", verify.product, "Product")->required();
    verifyCommand->add_option("-e,--endpoint", verify.endpoint,
                              "Blob endpoint (default: SETUP_LAUNCHER_DOWNLOAD_ENDPOINT or the "
                              "built-in one)");
    verifyCommand
        ->add_option("-s,--staging", verify.staging, "Check a staging folder instead of the store")
        ->check(CLI::ExistingDirectory);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kExitUsage;
    }

    try {
        if (*packCommand) {
            return RunPack(pack);
        }
        if (*releaseCommand) {
            return RunRelease(release, releaseFile, releaseStaging);
        }
        if (*uploadCommand) {
            return RunUpload(upload);
        }
        return RunVerify(verify);
    } catch (const std::exception& error) {
        std::cout.flush();
        std::cerr << "setup-publisher: " << error.what() << "\n";
        return kExitFailure;
    }
}
