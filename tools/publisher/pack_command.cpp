// pack: a folder becomes an "arc" package.
#include <iostream>

#include "tools/publisher/package_writer.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publisher_command.h"

namespace {

class PackCommand : public PublisherCommand {
  public:
    CLI::App* Add(CLI::App& app) override {
        CLI::App* command = app.add_subcommand(
            "pack",
            "Turn a folder into an \"arc\" package: each distinct content stored once under "
            "its SHA-256, with arcinfo.json and arcconfig.json");
        command->add_option("folder", mFolder, "Folder to pack")
            ->required()
            ->check(CLI::ExistingDirectory);
        command->add_option("-o,--output", mOutput, "Package file to write")->required();
        command
            ->add_option("-s,--start-commands", mStartCommands,
                         "File of start commands, one a line: language (*, de, en) bitness "
                         "(*, x64, x86) command")
            ->check(CLI::ExistingFile);
        return command;
    }

    int Run() override {
        std::vector<StartCommandLine> commands;
        if (!mStartCommands.empty()) {
            commands = ReadStartCommandFile(mStartCommands);
        }
        const PackSummary summary = PackFolder(mFolder, commands, mOutput);
        std::cout << "Packed " << summary.files << " files (" << SizeText(summary.bytes) << ") as "
                  << summary.contents.size() << " distinct contents into " << mOutput << " ("
                  << SizeText(summary.packageSize) << ")\n";
        if (commands.empty()) {
            std::cout << "note: no start commands: the launcher opens the extraction folder\n";
        }
        PrintNotes(summary.notes);
        return 0;
    }

  private:
    std::string mFolder;
    std::string mOutput;
    std::string mStartCommands;
};

}  // namespace

std::unique_ptr<PublisherCommand> MakePackCommand() {
    return std::make_unique<PackCommand>();
}
