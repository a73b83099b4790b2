// verify: a published (or staged) product checked the way a launcher reads it.
#include <iostream>

#include "tools/publisher/index_signing.h"
#include "tools/publisher/publisher_command.h"
#include "tools/publisher/release_verifier.h"

namespace {

class VerifyCommand : public PublisherCommand {
  public:
    CLI::App* Add(CLI::App& app) override {
        CLI::App* command = app.add_subcommand(
            "verify",
            "Check a published product as the launcher reads it: every release and "
            "language edition, block by block, and every package member");
        command->add_option("-p,--product", mProduct, "Product")->required();
        command->add_option("-e,--endpoint", mEndpoint,
                            "Blob endpoint (default: SETUP_LAUNCHER_DOWNLOAD_ENDPOINT or the "
                            "built-in one)");
        command->add_option("-s,--staging", mStaging, "Check a staging folder instead of the store")
            ->check(CLI::ExistingDirectory);
        command->add_option("--public-key", mPublicKey,
                            "Also check index.sig against this public key (base64 DER text as "
                            "keygen prints it, or a file holding it or a PEM public key)");
        return command;
    }

    int Run() override {
        const auto source = mStaging.empty() ? MakeStoreSource(ChooseEndpoint(mEndpoint))
                                             : MakeStagingSource(mStaging);
        const std::string publicKey =
            mPublicKey.empty() ? std::string() : ReadPublicKey(mPublicKey);
        VerifyReport report = VerifyProduct(*source, mProduct);
        if (!publicKey.empty()) {
            const SignatureCheck signature = CheckIndexSignature(*source, mProduct, publicKey);
            (signature.valid ? report.notes : report.problems).push_back(signature.message);
        }
        PrintReport(report, std::cout);
        return report.ProblemCount() == 0 ? 0 : kExitFailure;
    }

  private:
    std::string mProduct;
    std::string mEndpoint;
    std::string mStaging;
    std::string mPublicKey;
};

}  // namespace

std::unique_ptr<PublisherCommand> MakeVerifyCommand() {
    return std::make_unique<VerifyCommand>();
}
