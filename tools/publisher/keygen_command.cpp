// keygen: a new key for signing release indexes.
#include <iostream>

#include "tools/publisher/index_signing.h"
#include "tools/publisher/publisher_command.h"

namespace {

class KeygenCommand : public PublisherCommand {
  public:
    CLI::App* Add(CLI::App& app) override {
        CLI::App* command = app.add_subcommand(
            "keygen",
            "Write a new ECDSA P-256 key for signing release indexes (mode 0600, never "
            "overwrites) and print its public key, the form SETUP_LAUNCHER_INDEX_KEYS takes");
        command->add_option("-o,--output", mFile, "Private key file to create")->required();
        return command;
    }

    int Run() override {
        const std::string publicKey = GenerateSigningKey(mFile);
        // Standard output holds the public key alone, so that scripts can take it as it is.
        std::cout << publicKey << "\n";
        std::cerr << "setup-publisher: wrote the private key " << mFile
                  << ": keep it secret and out of the repository; build the launcher with "
                     "-DSETUP_LAUNCHER_INDEX_KEYS=<the public key above>\n";
        return 0;
    }

  private:
    std::string mFile;
};

}  // namespace

std::unique_ptr<PublisherCommand> MakeKeygenCommand() {
    return std::make_unique<KeygenCommand>();
}
