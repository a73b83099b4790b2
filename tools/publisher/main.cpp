// setup-publisher: the publishing side of the launcher. It packs a folder into an "arc" package,
// describes release files in a product's index (on a local staging folder first), uploads them to
// the blob store and verifies a published product the way a launcher reads it.
#include <iostream>

#include "tools/publisher/publisher_command.h"

namespace {

std::string EnvironmentHelp() {
    return std::string(
               "Environment:\n"
               "  SETUP_LAUNCHER_DOWNLOAD_ENDPOINT  blob store for upload and verify "
               "(https://host[:port])\n"
               "  SETUP_LAUNCHER_CA_FILE            further trusted certificate authorities "
               "(PEM)\n  ") +
           kAccountVariable + "           storage account name (upload)\n  " + kAccountKeyVariable +
           "       storage account key, base64 (upload)";
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
    app.footer(EnvironmentHelp());

    std::vector<std::unique_ptr<PublisherCommand>> commands;
    commands.push_back(MakePackCommand());
    commands.push_back(MakeReleaseCommand());
    commands.push_back(MakeUploadCommand());
    commands.push_back(MakeVerifyCommand());
    commands.push_back(MakeKeygenCommand());
    commands.push_back(MakeReportCommand());
    std::vector<std::pair<CLI::App*, PublisherCommand*>> verbs;
    for (const auto& command : commands) {
        verbs.emplace_back(command->Add(app), command.get());
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kExitUsage;
    }

    try {
        for (const auto& [parser, command] : verbs) {
            if (*parser) {
                return command->Run();
            }
        }
        return kExitUsage;
    } catch (const std::exception& error) {
        std::cout.flush();
        std::cerr << "setup-publisher: " << error.what() << "\n";
        return kExitFailure;
    }
}
