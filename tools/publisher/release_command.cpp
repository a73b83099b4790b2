// release: add or replace a release in a product's index in a staging folder.
#include <iostream>
#include <optional>

#include "tools/publisher/index_signing.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publisher_command.h"
#include "tools/publisher/publisher_error.h"
#include "tools/publisher/release_builder.h"

namespace {

class ReleaseCommand : public PublisherCommand {
  public:
    CLI::App* Add(CLI::App& app) override {
        CLI::App* command = app.add_subcommand(
            "release",
            "Add or replace a release (or one of its language editions) in a product's "
            "index in a staging folder: computes size, SHA-256 and the block digest list");
        command->add_option("file", mRequest.file, "The package or disc image")
            ->required()
            ->check(CLI::ExistingFile);
        command->add_option("-s,--staging", mRequest.staging, "Staging folder (mirrors the store)")
            ->required();
        command->add_option("-p,--product", mRequest.product, "Product, e.g. tarnwick-x64-sql")
            ->required();
        command->add_option("-r,--release", mRequest.key, "Release key, e.g. 2024.1")->required();
        command->add_option("-t,--text", mRequest.displayText,
                            "Display text in the version list (default: the key)");
        command->add_option("--type", mRequest.filetype, "File type")
            ->check(CLI::IsMember({"arc", "iso"}))
            ->capture_default_str();
        command->add_option("-l,--language", mRequest.language,
                            "Language edition, a locale name such as de-DE");
        command->add_option("-b,--block-size", mRequest.blocksize, "Verified block size, e.g. 4MiB")
            ->transform(CLI::AsSizeValue(false))
            ->capture_default_str();
        command
            ->add_option("--required-setup", mRequest.requiredSetup,
                         "Lowest launcher version that may install it")
            ->capture_default_str();
        command->add_option("--container", mRequest.container,
                            "Blob container of the release's files (default: the product)");
        command->add_option("--filename", mRequest.filename,
                            "Object name of the file (default: product-release[-language]"
                            ".zip or .iso)");
        command->add_flag("--current", mRequest.makeCurrent, "Make it the current release");
        command
            ->add_option("--signing-key", mSigningKey,
                         "Private key file (keygen): sign the changed index into index.sig "
                         "beside it (without it, a staged index.sig is removed)")
            ->check(CLI::ExistingFile);
        command
            ->add_option("--expires", mExpiresDays,
                         "With --signing-key: launchers refuse the signed index after this many "
                         "days (default: it does not expire)")
            ->check(CLI::Range(1u, 36500u));
        return command;
    }

    int Run() override {
        if (mRequest.displayText.empty()) {
            mRequest.displayText = mRequest.key;
        }
        // The key is read first, so that a bad key file leaves the staging untouched.
        if (mExpiresDays != 0 && mSigningKey.empty()) {
            throw PublisherError("--expires needs --signing-key: only a signed index expires");
        }
        std::optional<IndexSigner> signer;
        if (!mSigningKey.empty()) {
            signer.emplace(mSigningKey);
        }
        const ReleaseResult result = AddRelease(mRequest);
        PrintResult(result);
        PrintNotes(result.notes);
        PrintNotes(UpdateStagedSignature(
            result.indexFile, mRequest.product, signer ? &*signer : nullptr,
            mExpiresDays != 0 ? std::optional<unsigned>(mExpiresDays) : std::nullopt));
        std::cout << "The launcher offers:\n";
        for (const std::string& line : DescribeOffer(result.indexFile)) {
            std::cout << "  " << line << "\n";
        }
        return 0;
    }

  private:
    void PrintResult(const ReleaseResult& result) const {
        std::cout << "Release " << mRequest.key;
        if (!mRequest.language.empty()) {
            std::cout << " (" << mRequest.language << ")";
        }
        std::cout << ": " << Counted(result.digests.size, "byte") << ", "
                  << Counted(result.digests.blockMd5s.size(), "block") << " of "
                  << Counted(mRequest.blocksize, "byte") << "\n"
                  << "  sha256  " << result.digests.sha256 << "\n"
                  << "  file    " << result.releaseFile.string() << "\n"
                  << "  digests " << result.digestListFile.string() << "\n"
                  << "  index   " << result.indexFile.string() << "\n";
    }

    ReleaseRequest mRequest;
    unsigned mExpiresDays = 0;  // 0: the statement does not expire
    std::string mSigningKey;
};

}  // namespace

std::unique_ptr<PublisherCommand> MakeReleaseCommand() {
    return std::make_unique<ReleaseCommand>();
}
