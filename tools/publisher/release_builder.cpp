#include "tools/publisher/release_builder.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "catalogue/release_selection.h"
#include "core/json_reader.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publication_names.h"
#include "tools/publisher/publisher_error.h"

namespace fs = std::filesystem;

namespace {

const char* const kFileMembers[] = {"filename", "hash", "filesize", "blockhash", "blocksize"};

void CheckRequest(const ReleaseRequest& request, const std::string& container,
                  const std::string& filename) {
    if (!IsValidProductName(request.product)) {
        throw PublisherError("product \"" + request.product +
                             "\" is not usable: lower-case letters, digits and single hyphens, "
                             "at most 60 characters");
    }
    if (!IsValidReleaseKey(request.key)) {
        throw PublisherError("release key \"" + request.key +
                             "\" is not usable: decimal numbers separated by dots, like 2024.1");
    }
    if (request.filetype != "arc" && request.filetype != "iso") {
        throw PublisherError("file type must be arc or iso, not " + request.filetype);
    }
    if (!request.language.empty() && !IsValidLanguageCode(request.language)) {
        throw PublisherError("language \"" + request.language +
                             "\" is not a locale name like de-DE or en-US");
    }
    if (!IsValidContainerName(container)) {
        throw PublisherError("container \"" + container +
                             "\" is not usable: 3 to 63 lower-case letters, digits and single "
                             "hyphens");
    }
    if (container == IndexContainer(request.product)) {
        throw PublisherError("container \"" + container + "\" is reserved for the index");
    }
    if (!IsValidObjectName(filename) || !IsValidObjectName(DigestListName(filename))) {
        throw PublisherError("file name \"" + filename +
                             "\" is not usable: letters, digits, '.', '_', '-' and '+'");
    }
    if (request.blocksize == 0) {
        throw PublisherError("block size must be greater than 0");
    }
    if (request.blocksize > (std::uint64_t{1} << 30)) {
        // The launcher holds one block in memory.
        throw PublisherError("block size must be at most 1 GiB");
    }
}

nlohmann::json LoadIndex(const fs::path& indexFile) {
    std::error_code error;
    if (!fs::exists(indexFile, error)) {
        return nlohmann::json{{"releases", nlohmann::json::object()}};
    }
    std::string reason;
    const JsonValue index = JsonValue::Parse(ReadWholeFile(indexFile), &reason);
    if (index.IsNull()) {
        throw PublisherError("the index " + indexFile.string() + " is not valid JSON: " + reason);
    }
    if (!index.IsObject()) {
        throw PublisherError("the index " + indexFile.string() + " is not a JSON object");
    }
    nlohmann::json document = index.Raw();
    if (!document.contains("releases") || !document["releases"].is_object()) {
        if (document.contains("releases")) {
            throw PublisherError("\"releases\" of " + indexFile.string() + " is not an object");
        }
        document["releases"] = nlohmann::json::object();
    }
    return document;
}

// Whether the release keeps files of other editions than the one being replaced.
bool HasOtherEditions(const nlohmann::json& release, const std::string& language) {
    if (!language.empty() && release.contains("filename")) {
        return true;
    }
    if (release.contains("languages") && release["languages"].is_object()) {
        for (const auto& [code, edition] : release["languages"].items()) {
            if (code != language) {
                return true;
            }
        }
    }
    return false;
}

void PlaceReleaseFile(const fs::path& from, const fs::path& to) {
    std::error_code error;
    if (fs::exists(to, error) && fs::equivalent(from, to, error)) {
        return;
    }
    fs::create_directories(to.parent_path(), error);
    fs::remove(to, error);
    // A hard link costs nothing for gigabytes; packing replaces its output by renaming, so a
    // later pack does not change the staged file behind the index's back.
    fs::create_hard_link(from, to, error);
    if (!error) {
        return;
    }
    if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, error)) {
        throw PublisherError("cannot copy " + from.string() + " to " + to.string() + ": " +
                             error.message());
    }
}

// A string member of a JSON object; empty when it is missing or no string.
std::string StringMember(const nlohmann::json& object, const char* name) {
    return object.value(name, nlohmann::json()).is_string() ? object[name].get<std::string>()
                                                            : std::string();
}

// A release's editions share one container: replacing one edition elsewhere would strand the
// others.
void CheckContainerKept(const nlohmann::json& releases, const ReleaseRequest& request,
                        const std::string& container) {
    if (!releases.contains(request.key) || !releases[request.key].is_object()) {
        return;
    }
    const nlohmann::json& existing = releases[request.key];
    const std::string oldContainer = StringMember(existing, "containername");
    if (!oldContainer.empty() && oldContainer != container &&
        HasOtherEditions(existing, request.language)) {
        throw PublisherError("release " + request.key +
                             " keeps its other editions in "
                             "container \"" +
                             oldContainer + "\"; use --container " + oldContainer);
    }
}

FileDigests HashReleaseFile(const ReleaseRequest& request) {
    std::error_code error;
    std::uint64_t total = fs::file_size(request.file, error);
    ProgressBar bar("hashing", error ? 0 : total);
    return DigestFile(request.file, request.blocksize, &bar);
}

// The release file and its digest list go into the staging folder before the index names them.
void StageReleaseFiles(const ReleaseRequest& request, ReleaseResult& result) {
    result.releaseFile = StagedObjectFile(request.staging, result.container, result.filename);
    result.digestListFile = StagedObjectFile(request.staging, result.container, result.blockhash);
    PlaceReleaseFile(request.file, result.releaseFile);
    WriteFileAtomically(result.digestListFile, DigestListText(result.digests.blockMd5s));
}

// The release entry with the new file: as the release's own file, which replaces any language
// editions, or as one language edition, which hides the release's own file from the launcher.
nlohmann::json UpdatedRelease(const nlohmann::json& releases, const ReleaseRequest& request,
                              ReleaseResult& result) {
    const nlohmann::json fileMembers = {{"filename", result.filename},
                                        {"hash", result.digests.sha256},
                                        {"filesize", result.digests.size},
                                        {"blockhash", result.blockhash},
                                        {"blocksize", request.blocksize}};
    nlohmann::json release = releases.contains(request.key) && releases[request.key].is_object()
                                 ? releases[request.key]
                                 : nlohmann::json::object();
    if (request.language.empty()) {
        if (release.contains("languages")) {
            result.notes.push_back("release " + request.key +
                                   " loses its language editions: it now has one file");
        }
        release = fileMembers;
    } else {
        if (!release.contains("languages") || !release["languages"].is_object()) {
            release["languages"] = nlohmann::json::object();
            if (release.contains("filename")) {
                result.notes.push_back("release " + request.key +
                                       " now has language editions: the launcher always asks for "
                                       "one, so its own file is no longer offered");
            }
        }
        release["languages"][request.language] = fileMembers;
    }
    release["release"] = request.displayText;
    release["containername"] = result.container;
    release["required_setup"] = request.requiredSetup;
    release["filetype"] = request.filetype;
    return release;
}

// Notes on what keeps launchers from offering the index or this release.
void NoteWhatLaunchersRefuse(const nlohmann::json& index, const ReleaseRequest& request,
                             ReleaseResult& result) {
    const std::string current = StringMember(index, "current_release");
    if (current.empty() || !index.at("releases").contains(current)) {
        result.notes.push_back(
            "the index has no current release yet: the launcher offers "
            "nothing until one is made current (--current)");
    }
    if (request.requiredSetup > LauncherVersion) {
        result.notes.push_back("launchers of version " + std::to_string(LauncherVersion) +
                               " refuse this release (required_setup " +
                               std::to_string(request.requiredSetup) + ")");
    }
}

}  // namespace

std::string ReadWholeFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw PublisherError("cannot open " + file.string());
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw PublisherError("cannot read " + file.string());
    }
    return text.str();
}

void WriteFileAtomically(const fs::path& file, const std::string& content) {
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    const fs::path temporary = file.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, error);
            throw PublisherError("cannot write " + file.string());
        }
    }
    fs::rename(temporary, file, error);
    if (error) {
        fs::remove(temporary, error);
        throw PublisherError("cannot write " + file.string() + ": " + error.message());
    }
}

fs::path StagedIndexFile(const fs::path& staging, const std::string& product) {
    return staging / IndexContainer(product) / "index";
}

fs::path StagedObjectFile(const fs::path& staging, const std::string& container,
                          const std::string& name) {
    return staging / container / name;
}

std::string DigestListText(const std::vector<std::string>& blockMd5s) {
    return nlohmann::json(blockMd5s).dump() + "\n";
}

ReleaseResult AddRelease(const ReleaseRequest& request) {
    ReleaseResult result;
    result.container = request.container.empty() ? request.product : request.container;
    result.filename = request.filename.empty()
                          ? DefaultReleaseFileName(request.product, request.key, request.language,
                                                   request.filetype)
                          : request.filename;
    result.blockhash = DigestListName(result.filename);
    CheckRequest(request, result.container, result.filename);
    std::error_code error;
    if (!fs::is_regular_file(request.file, error)) {
        throw PublisherError("not a file: " + request.file.string());
    }

    result.indexFile = StagedIndexFile(request.staging, request.product);
    nlohmann::json index = LoadIndex(result.indexFile);
    nlohmann::json& releases = index["releases"];
    CheckContainerKept(releases, request, result.container);
    result.digests = HashReleaseFile(request);
    StageReleaseFiles(request, result);
    releases[request.key] = UpdatedRelease(releases, request, result);
    if (request.makeCurrent) {
        index["current_release"] = request.key;
    }
    NoteWhatLaunchersRefuse(index, request, result);
    WriteFileAtomically(result.indexFile, index.dump(2) + "\n");
    return result;
}

std::vector<std::string> DescribeOffer(const fs::path& indexFile) {
    const JsonValue catalog = JsonValue::Parse(ReadWholeFile(indexFile));
    std::vector<std::string> lines;
    for (const ReleaseChoice& choice : OfferedReleases(catalog)) {
        std::string line = choice.key + "  \"" + choice.displayText + "\"";
        const auto languages = catalog["releases"][choice.key]["languages"].Members();
        if (!languages.empty()) {
            line += "  languages:";
            for (const auto& [code, edition] : languages) {
                line += " " + code;
            }
        }
        lines.push_back(line);
    }
    return lines;
}
