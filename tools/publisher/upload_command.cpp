// upload: staged releases, then the index, to the blob store.
#include <iostream>
#include <optional>

#include "tools/publisher/index_signing.h"
#include "tools/publisher/publisher_command.h"
#include "tools/publisher/publisher_error.h"
#include "tools/publisher/release_uploader.h"

namespace {

class UploadCommand : public PublisherCommand {
  public:
    CLI::App* Add(CLI::App& app) override {
        CLI::App* command = app.add_subcommand(
            "upload",
            "Publish staged releases and then the index to the blob store (SharedKey "
            "signed; containers allow anonymous reading of blobs)");
        command->add_option("-s,--staging", mRequest.staging, "Staging folder")
            ->required()
            ->check(CLI::ExistingDirectory);
        command->add_option("-p,--product", mRequest.product, "Product")->required();
        command
            ->add_option("-r,--release", mRequest.releases,
                         "Release key to upload (repeatable; default: every staged release)")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        command->add_option("-l,--language", mRequest.language, "Only this language edition");
        command->add_flag("--index-only", mRequest.indexOnly,
                          "Upload only the index (releases already published)");
        command
            ->add_option("--signing-key", mSigningKey,
                         "Private key file (keygen): sign the index and upload index.sig right "
                         "after it")
            ->check(CLI::ExistingFile);
        command
            ->add_option("--expires", mExpiresDays,
                         "With --signing-key: launchers refuse the signed index after this many "
                         "days (default: it does not expire)")
            ->check(CLI::Range(1u, 36500u));
        command->add_flag("--unsigned", mRequest.unsignedIndex,
                          "Publish the index without a signature and remove a published "
                          "index.sig (without it, an index.sig in the store refuses the upload)");
        command->add_option("-e,--endpoint", mEndpoint,
                            "Blob endpoint (default: SETUP_LAUNCHER_DOWNLOAD_ENDPOINT or the "
                            "built-in one)");
        return command;
    }

    int Run() override {
        mRequest.endpoint = ChooseEndpoint(mEndpoint);
        mRequest.account = Environment(kAccountVariable);
        mRequest.accountKey = Environment(kAccountKeyVariable);
        if (mRequest.account.empty() || mRequest.accountKey.empty()) {
            throw PublisherError(std::string("set ") + kAccountVariable + " and " +
                                 kAccountKeyVariable + " to the storage account's name and key");
        }
        if (mExpiresDays != 0) {
            mRequest.expiresDays = mExpiresDays;
        }
        if (mRequest.expiresDays && mSigningKey.empty()) {
            throw PublisherError("--expires needs --signing-key: only a signed index expires");
        }
        if (mRequest.unsignedIndex && !mSigningKey.empty()) {
            throw PublisherError("--unsigned and --signing-key exclude each other");
        }
        std::optional<IndexSigner> signer;
        if (!mSigningKey.empty()) {
            signer.emplace(mSigningKey);
            mRequest.signer = &*signer;
        }
        const UploadResult result = UploadStaged(mRequest);
        for (const std::string& object : result.uploaded) {
            std::cout << "uploaded " << object << "\n";
        }
        PrintNotes(result.notes);
        return 0;
    }

  private:
    UploadRequest mRequest;
    std::string mEndpoint;
    std::string mSigningKey;
    unsigned mExpiresDays = 0;  // 0: the statement does not expire
};

}  // namespace

std::unique_ptr<PublisherCommand> MakeUploadCommand() {
    return std::make_unique<UploadCommand>();
}
