#include "tools/publisher/package_writer.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "core/file_system.h"
#include "core/text_conversion.h"
#include "tools/publisher/block_digester.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publisher_error.h"
#include "tools/publisher/zip_handle.h"

namespace fs = std::filesystem;

namespace {

// 1980-01-01 00:00:00, the earliest time a zip entry can carry; the same in every time zone.
constexpr zip_uint16_t kFixedDosTime = 0;
constexpr zip_uint16_t kFixedDosDate = (0 << 9) | (1 << 5) | 1;
constexpr zip_uint32_t kRegularFile = 0100644;
constexpr zip_uint32_t kExecutableFile = 0100755;

std::string Trim(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// A relative path in "/" form; the launcher's Windows edition writes it with "\".
std::string WindowsSeparators(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string SlashSeparators(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

struct FoundFile {
    std::string relative;  // "/" separated, UTF-8
    fs::path path;
    std::uint64_t size = 0;
    bool executable = false;
};

std::vector<FoundFile> CollectFiles(const fs::path& folder, std::vector<std::string>& notes) {
    std::vector<FoundFile> files;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, error);
    if (error) {
        throw PublisherError("cannot read folder " + folder.string() + ": " + error.message());
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) {
            throw PublisherError("cannot read folder " + folder.string() + ": " + error.message());
        }
        const fs::path& path = it->path();
        const std::string relative = path.lexically_relative(folder).generic_string();
        if (ToUtf8(ToUtf16(relative)) != relative) {
            throw PublisherError("file name is not valid UTF-8: " + relative);
        }
        if (relative.find('\\') != std::string::npos) {
            // Packages carry "\" as their separator; a name holding one would be split.
            throw PublisherError("file name holds a backslash: " + relative);
        }
        const fs::file_status status = it->status(error);  // follows links to files
        if (fs::is_directory(status)) {
            if (it->is_symlink()) {
                it.disable_recursion_pending();
                notes.push_back("linked folder left out: " + relative);
            } else if (fs::is_empty(path, error)) {
                notes.push_back("empty folder left out (packages carry only files): " + relative);
            }
            continue;
        }
        if (!fs::is_regular_file(status)) {
            throw PublisherError("neither a file nor a folder: " + relative);
        }
        FoundFile file;
        file.relative = relative;
        file.path = path;
        file.size = fs::file_size(path, error);
        if (error) {
            throw PublisherError("cannot read " + path.string() + ": " + error.message());
        }
        file.executable = (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
        files.push_back(std::move(file));
    }
    return files;
}

void AddBuffer(zip_t* archive, const std::string& name, const std::string& text) {
    zip_source_t* source = zip_source_buffer(archive, text.data(), text.size(), 0);
    if (source == nullptr) {
        throw PublisherError(std::string("cannot add ") + name + ": " + zip_strerror(archive));
    }
    const zip_int64_t index = zip_file_add(archive, name.c_str(), source, 0);
    if (index < 0) {
        zip_source_free(source);
        throw PublisherError(std::string("cannot add ") + name + ": " + zip_strerror(archive));
    }
    zip_file_set_dostime(archive, static_cast<zip_uint64_t>(index), kFixedDosTime, kFixedDosDate,
                         0);
    zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                     kRegularFile << 16);
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 0);
}

void AddFile(zip_t* archive, const PackedContent& content) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_file_create(content.source.c_str(), 0, -1, &error);
    if (source == nullptr) {
        const std::string reason = zip_error_strerror(&error);
        zip_error_fini(&error);
        throw PublisherError("cannot add " + content.source.string() + ": " + reason);
    }
    zip_error_fini(&error);
    const zip_int64_t index = zip_file_add(archive, content.hash.c_str(), source, 0);
    if (index < 0) {
        zip_source_free(source);
        throw PublisherError("cannot add " + content.source.string() + ": " +
                             zip_strerror(archive));
    }
    const auto at = static_cast<zip_uint64_t>(index);
    zip_file_set_dostime(archive, at, kFixedDosTime, kFixedDosDate, 0);
    zip_file_set_external_attributes(archive, at, 0, ZIP_OPSYS_UNIX,
                                     (content.executable ? kExecutableFile : kRegularFile) << 16);
    zip_set_file_compression(archive, at, ZIP_CM_DEFLATE, 0);
}

struct ZipProgress {
    ProgressBar bar;
    std::uint64_t total;
};

void ShowZipProgress(zip_t*, double fraction, void* state) {
    auto* progress = static_cast<ZipProgress*>(state);
    progress->bar.Set(static_cast<std::uint64_t>(fraction * static_cast<double>(progress->total)));
}

// Writes the archive, showing libzip's progress against the given number of bytes.
void CloseWithProgress(ZipHandle& archive, const std::string& path, const char* label,
                       std::uint64_t total) {
    ZipProgress progress{ProgressBar(label, total), total};
    zip_register_progress_callback_with_state(archive.get(), 0.001, ShowZipProgress, nullptr,
                                              &progress);
    CloseZip(archive, path);
}

// libzip deflates everything it is told to; entries whose deflated form is not smaller than the
// content (already compressed data) are stored instead, by a second pass that copies the others
// unchanged.
void StoreIncompressibleEntries(const std::string& path) {
    std::string error;
    std::vector<zip_uint64_t> incompressible;
    {
        ZipHandle archive = OpenZip(path, ZIP_RDONLY, error);
        if (!archive) {
            throw PublisherError("cannot reopen " + path + ": " + error);
        }
        const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
        for (zip_int64_t i = 0; i < count; ++i) {
            zip_stat_t stat;
            if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &stat) == 0 &&
                stat.comp_method != ZIP_CM_STORE && stat.comp_size >= stat.size) {
                incompressible.push_back(static_cast<zip_uint64_t>(i));
            }
        }
    }
    if (incompressible.empty()) {
        return;
    }
    ZipHandle archive = OpenZip(path, 0, error);
    if (!archive) {
        throw PublisherError("cannot reopen " + path + ": " + error);
    }
    for (const zip_uint64_t index : incompressible) {
        zip_set_file_compression(archive.get(), index, ZIP_CM_STORE, 0);
    }
    std::error_code sizeError;
    CloseWithProgress(archive, path, "storing", std::filesystem::file_size(path, sizeError));
}

}  // namespace

std::vector<StartCommandLine> ParseStartCommands(const std::string& text,
                                                 const std::string& sourceName) {
    std::vector<StartCommandLine> commands;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') {
            continue;
        }
        const std::string where = sourceName + ":" + std::to_string(number) + ": ";
        std::istringstream fields(trimmed);
        StartCommandLine command;
        fields >> command.language >> command.bitness;
        std::getline(fields, command.command);
        command.command = Trim(command.command);
        if (command.command.empty()) {
            throw PublisherError(where + "expected \"language bitness command\"");
        }
        if (command.language != "*" && command.language != "de" && command.language != "en") {
            throw PublisherError(where + "language must be *, de or en (letter case counts), not " +
                                 command.language);
        }
        if (command.bitness != "*" && command.bitness != "x64" && command.bitness != "x86") {
            throw PublisherError(where +
                                 "bitness must be *, x64 or x86 (letter case counts), not " +
                                 command.bitness);
        }
        if (!IsContainedRelativePath(ToUtf16(command.command))) {
            throw PublisherError(
                where + "the command must be a path inside the package: " + command.command);
        }
        commands.push_back(std::move(command));
    }
    return commands;
}

std::vector<StartCommandLine> ReadStartCommandFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw PublisherError("cannot open start-command file " + file.string());
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseStartCommands(text.str(), file.string());
}

std::string ArcInfoText(const std::vector<PackedContent>& contents) {
    nlohmann::json info = nlohmann::json::array();
    for (const PackedContent& content : contents) {
        nlohmann::json destinations = nlohmann::json::array();
        for (const std::string& destination : content.destinations) {
            destinations.push_back(WindowsSeparators(destination));
        }
        info.push_back({{"hash", content.hash}, {"dst", std::move(destinations)}});
    }
    return info.dump(1, '\t') + "\n";
}

std::string ArcConfigText(const std::vector<StartCommandLine>& commands) {
    nlohmann::json list = nlohmann::json::array();
    for (const StartCommandLine& command : commands) {
        list.push_back({{"language", command.language},
                        {"bitness", command.bitness},
                        {"command", command.command}});
    }
    return nlohmann::json{{"startCommands", std::move(list)}}.dump(1, '\t') + "\n";
}

PackSummary PackFolder(const fs::path& folder, const std::vector<StartCommandLine>& commands,
                       const fs::path& output) {
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        throw PublisherError("not a folder: " + folder.string());
    }
    PackSummary summary;
    // A package inside its own folder would be packed into the next package.
    const fs::path inside =
        fs::weakly_canonical(output, error).lexically_relative(fs::weakly_canonical(folder, error));
    if (!inside.empty() && *inside.begin() != "..") {
        throw PublisherError("the package would be written into the folder it packs: " +
                             output.string());
    }
    std::vector<FoundFile> files = CollectFiles(folder, summary.notes);
    std::sort(files.begin(), files.end(),
              [](const FoundFile& a, const FoundFile& b) { return a.relative < b.relative; });
    summary.files = files.size();
    for (const FoundFile& file : files) {
        summary.bytes += file.size;
    }

    // Files in byte order of their paths, so a content's first destination decides its place.
    std::map<std::string, std::size_t> byHash;
    {
        ProgressBar bar("hashing", summary.bytes);
        for (const FoundFile& file : files) {
            const FileDigests digests = DigestFile(file.path, 0, &bar);
            auto [at, added] = byHash.emplace(digests.sha256, summary.contents.size());
            if (added) {
                PackedContent content;
                content.hash = digests.sha256;
                content.size = digests.size;
                content.source = file.path;
                content.executable = file.executable;
                summary.contents.push_back(std::move(content));
            }
            summary.contents[at->second].destinations.push_back(file.relative);
        }
    }

    for (const StartCommandLine& command : commands) {
        const std::string wanted = SlashSeparators(command.command);
        const bool found = std::ranges::binary_search(files, wanted, {}, &FoundFile::relative);
        if (!found) {
            throw PublisherError("start command " + command.command +
                                 " names no file of the folder");
        }
    }

    const std::string info = ArcInfoText(summary.contents);
    const std::string config = ArcConfigText(commands);
    std::string reason;
    ZipHandle archive = OpenZip(output.string(), ZIP_CREATE | ZIP_TRUNCATE, reason);
    if (!archive) {
        throw PublisherError("cannot create " + output.string() + ": " + reason);
    }
    AddBuffer(archive.get(), "arcinfo.json", info);
    AddBuffer(archive.get(), "arcconfig.json", config);
    for (const PackedContent& content : summary.contents) {
        AddFile(archive.get(), content);
    }
    CloseWithProgress(archive, output.string(), "packing", summary.bytes);
    StoreIncompressibleEntries(output.string());
    summary.packageSize = fs::file_size(output, error);
    return summary;
}
