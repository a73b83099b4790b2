#include "tools/publisher/release_uploader.h"

#include <map>
#include <set>

#include "core/json_reader.h"
#include "tools/publisher/block_digester.h"
#include "tools/publisher/index_signing.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publication_names.h"
#include "tools/publisher/publisher_error.h"
#include "tools/publisher/release_builder.h"
#include "tools/store/store_client.h"

namespace fs = std::filesystem;

namespace {

// One file of the index: a release's own file or one of its language editions.
struct StagedEdition {
    std::string release;
    std::string language;
    std::string filetype;
    std::string container;
    std::string filename;
    std::string blockhash;
    std::uint64_t filesize = 0;
    std::uint64_t blocksize = 0;
    std::string hash;

    std::string Name() const { return language.empty() ? release : release + " " + language; }
};

std::vector<StagedEdition> EditionsOf(const JsonValue& index) {
    std::vector<StagedEdition> editions;
    for (const auto& [key, release] : index["releases"].Members()) {
        StagedEdition base;
        base.release = key;
        base.filetype = release["filetype"].String();
        base.container = release["containername"].String();
        auto languages = release["languages"].Members();
        if (languages.empty()) {
            languages.emplace_back("", release);
        }
        for (const auto& [language, source] : languages) {
            StagedEdition edition = base;
            edition.language = language;
            edition.filename = source["filename"].String();
            edition.blockhash = source["blockhash"].String();
            edition.filesize = source["filesize"].Number();
            edition.blocksize = source["blocksize"].Number();
            edition.hash = source["hash"].String();
            editions.push_back(std::move(edition));
        }
    }
    return editions;
}

void CheckNames(const StagedEdition& edition) {
    if (!IsValidContainerName(edition.container) || !IsValidObjectName(edition.filename) ||
        (!edition.blockhash.empty() && !IsValidObjectName(edition.blockhash))) {
        throw PublisherError("release " + edition.Name() +
                             " names objects that cannot be published: container \"" +
                             edition.container + "\", file \"" + edition.filename + "\"");
    }
}

// The staged objects must be exactly what the index says: a file changed after release would
// otherwise be published under digests that no launcher can match.
void CheckStagedEdition(const fs::path& staging, const StagedEdition& edition) {
    const fs::path file = StagedObjectFile(staging, edition.container, edition.filename);
    std::error_code error;
    ProgressBar bar("checking " + edition.filename, fs::file_size(file, error));
    const FileDigests digests = DigestFile(file, edition.blocksize, &bar);
    bar.Finish();
    const std::string again = "; run release again";
    if (digests.size != edition.filesize || digests.sha256 != edition.hash) {
        throw PublisherError("the staged file " + file.string() +
                             " no longer matches the index (size or SHA-256)" + again);
    }
    if (edition.blockhash.empty()) {
        return;
    }
    const fs::path listFile = StagedObjectFile(staging, edition.container, edition.blockhash);
    const JsonValue list = JsonValue::Parse(ReadWholeFile(listFile));
    std::vector<std::string> listed;
    for (const JsonValue& entry : list.Elements()) {
        listed.push_back(entry.String());
    }
    if (!list.IsArray() || listed != digests.blockMd5s) {
        throw PublisherError("the staged digest list " + listFile.string() +
                             " does not match its file" + again);
    }
}

void Require(const StoreResult& result, const std::string& what) {
    if (!result.ok) {
        throw PublisherError("the store refused " + what + ": " + result.message);
    }
}

std::string ContentType(const StagedEdition& edition) {
    return edition.filetype == "iso" ? "application/x-iso9660-image" : "application/zip";
}

// The staged index: its exact bytes (uploaded unchanged) and what they say.
struct StagedIndex {
    std::string text;
    JsonValue index;
};

// The staged editions split into those uploaded now and those the store must already hold.
struct EditionChoice {
    std::vector<const StagedEdition*> chosen;
    std::vector<const StagedEdition*> others;
};

StagedIndex ReadStagedIndex(const UploadRequest& request) {
    if (!IsValidProductName(request.product)) {
        throw PublisherError("product \"" + request.product + "\" is not usable");
    }
    const fs::path indexFile = StagedIndexFile(request.staging, request.product);
    std::error_code error;
    if (!fs::is_regular_file(indexFile, error)) {
        throw PublisherError("nothing staged for " + request.product + ": " + indexFile.string() +
                             " is missing");
    }
    StagedIndex staged;
    staged.text = ReadWholeFile(indexFile);
    std::string reason;
    staged.index = JsonValue::Parse(staged.text, &reason);
    if (!staged.index.IsObject()) {
        throw PublisherError("the staged index " + indexFile.string() + " is not a JSON object" +
                             (reason.empty() ? "" : ": " + reason));
    }
    const std::string current = staged.index["current_release"].String();
    if (current.empty() || staged.index["releases"][current].IsNull()) {
        throw PublisherError(
            "the staged index has no current release: make one current with "
            "release --current before publishing");
    }
    return staged;
}

std::set<std::string> NamedReleases(const UploadRequest& request, const JsonValue& index) {
    const std::set<std::string> named(request.releases.begin(), request.releases.end());
    for (const std::string& key : named) {
        if (index["releases"][key].IsNull()) {
            throw PublisherError("release " + key + " is not in the staged index");
        }
    }
    return named;
}

// Uploads the editions the request asks for and finds staged; a release named explicitly must
// have its files staged.
EditionChoice ChooseEditions(const UploadRequest& request, const JsonValue& index,
                             const std::vector<StagedEdition>& editions) {
    const std::set<std::string> named = NamedReleases(request, index);
    EditionChoice choice;
    std::error_code error;
    for (const StagedEdition& edition : editions) {
        CheckNames(edition);
        const bool wanted = !request.indexOnly &&
                            (named.empty() || named.count(edition.release) != 0) &&
                            (request.language.empty() || request.language == edition.language);
        const bool staged = fs::is_regular_file(
            StagedObjectFile(request.staging, edition.container, edition.filename), error);
        if (wanted && !staged && !named.empty()) {
            throw PublisherError("release " + edition.Name() + " has no staged file " +
                                 edition.container + "/" + edition.filename);
        }
        (wanted && staged ? choice.chosen : choice.others).push_back(&edition);
    }
    if (!request.language.empty() && choice.chosen.empty() && !request.indexOnly) {
        throw PublisherError("no staged language edition " + request.language);
    }
    return choice;
}

// The release file with a progress bar, then its digest list.
void UploadEdition(BlobStoreClient& client, const fs::path& staging, const StagedEdition& edition,
                   UploadResult& result) {
    const fs::path file = StagedObjectFile(staging, edition.container, edition.filename);
    const std::string object = edition.container + "/" + edition.filename;
    {
        ProgressBar bar("uploading " + edition.filename, edition.filesize);
        const auto progress = [&bar](std::uint64_t sent, std::uint64_t) { bar.Set(sent); };
        Require(client.PutBlobFromFile(edition.container, edition.filename, file,
                                       ContentType(edition), progress),
                "the upload of " + object);
    }
    result.uploaded.push_back(object);
    if (edition.blockhash.empty()) {
        return;
    }
    const std::string list =
        ReadWholeFile(StagedObjectFile(staging, edition.container, edition.blockhash));
    Require(client.PutBlob(edition.container, edition.blockhash, list, "application/json"),
            "the upload of " + edition.container + "/" + edition.blockhash);
    result.uploaded.push_back(edition.container + "/" + edition.blockhash);
}

// Each container is created once, before the first file that goes into it.
void UploadEditions(BlobStoreClient& client, const fs::path& staging,
                    const std::vector<const StagedEdition*>& chosen, UploadResult& result) {
    std::set<std::string> containers;
    for (const StagedEdition* edition : chosen) {
        if (containers.insert(edition->container).second) {
            Require(client.CreateContainer(edition->container),
                    "to create container " + edition->container);
        }
        UploadEdition(client, staging, *edition, result);
    }
}

// An edition not uploaded now must already be in the store, or the index would name a missing
// object.
void RequireInStore(BlobStoreClient& client, const StagedEdition& edition) {
    const std::string refused = "release " + edition.Name() + ": ";
    const std::string notUploaded = "; the index was not uploaded";
    StoreResult asked;
    const auto properties = client.GetBlobProperties(edition.container, edition.filename, &asked);
    const std::string object = edition.container + "/" + edition.filename;
    if (!properties) {
        throw PublisherError(refused + object + " is neither uploaded now nor in the store" +
                             (asked.message.empty() ? "" : " (" + asked.message + ")") +
                             notUploaded);
    }
    if (properties->size != edition.filesize) {
        throw PublisherError(refused + object + " in the store has " +
                             std::to_string(properties->size) + " bytes, the index says " +
                             std::to_string(edition.filesize) + notUploaded);
    }
    if (!edition.blockhash.empty() &&
        !client.GetBlobProperties(edition.container, edition.blockhash)) {
        throw PublisherError(refused + edition.container + "/" + edition.blockhash +
                             " is not in the store" + notUploaded);
    }
}

void UploadIndex(BlobStoreClient& client, const std::string& product, const std::string& text,
                 UploadResult& result) {
    const std::string indexContainer = IndexContainer(product);
    Require(client.CreateContainer(indexContainer), "to create container " + indexContainer);
    Require(client.PutBlob(indexContainer, "index", text, "application/json"),
            "the upload of " + IndexObjectPath(product));
    result.uploaded.push_back(IndexObjectPath(product));
}

}  // namespace

UploadResult UploadStaged(const UploadRequest& request) {
    const StagedIndex staged = ReadStagedIndex(request);
    const std::vector<StagedEdition> editions = EditionsOf(staged.index);
    const EditionChoice choice = ChooseEditions(request, staged.index, editions);
    for (const StagedEdition* edition : choice.chosen) {
        CheckStagedEdition(request.staging, *edition);
    }

    UploadResult result;
    BlobStoreClient client(StoreAccount{request.account, request.accountKey, request.endpoint, {}});
    // Decided before anything goes up, so that a refusal leaves the store as it was.
    const PlannedSignature signature = PlanIndexSignature(client, request, staged.text);
    UploadEditions(client, request.staging, choice.chosen, result);
    // Everything else the index names must already be in the store before the index goes up.
    for (const StagedEdition* edition : choice.others) {
        RequireInStore(client, *edition);
        result.notes.push_back("release " + edition->Name() + " was already in the store");
    }
    UploadIndex(client, request.product, staged.text, result);
    UploadIndexSignature(client, request, signature, result);
    return result;
}
