#include "tools/publisher/package_check.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/file_system.h"
#include "core/hash_context.h"
#include "core/json_reader.h"
#include "core/text_conversion.h"
#include "tools/publisher/publication_names.h"
#include "tools/publisher/quoted.h"
#include "tools/publisher/zip_handle.h"

namespace {

// Descriptors are read into memory; anything larger is no descriptor a launcher should parse.
constexpr zip_uint64_t kDescriptorLimit = 16 * 1024 * 1024;

// What arcinfo.json makes of the package: the files it writes and the members it uses.
struct ArcInfoUse {
    std::set<std::string> destinations;  // with "/" separators
    std::set<std::string> usedMembers;
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string SlashSeparators(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Reads a descriptor the way the launcher finds it: by its whole name, letter case ignored.
std::optional<std::string> ReadDescriptor(zip_t* archive, const char* name,
                                          std::vector<std::string>& problems) {
    const zip_int64_t index = zip_name_locate(archive, name, ZIP_FL_NOCASE);
    if (index < 0) {
        problems.push_back(std::string("the package has no ") + name);
        return std::nullopt;
    }
    zip_stat_t stat;
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0 ||
        stat.size > kDescriptorLimit) {
        problems.push_back(std::string(name) + " is larger than 16 MiB");
        return std::nullopt;
    }
    ZipFileHandle file(zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0));
    std::string text(static_cast<std::size_t>(stat.size), '\0');
    if (!file ||
        zip_fread(file.get(), text.data(), text.size()) != static_cast<zip_int64_t>(text.size())) {
        problems.push_back(std::string(name) + " cannot be read: " + zip_strerror(archive));
        return std::nullopt;
    }
    return text;
}

// A descriptor read and parsed; nothing when it is missing, unreadable or does not parse.
std::optional<JsonValue> ParseDescriptor(zip_t* archive, const char* name,
                                         std::vector<std::string>& problems) {
    const auto text = ReadDescriptor(archive, name, problems);
    if (!text) {
        return std::nullopt;
    }
    std::string error;
    JsonValue document = JsonValue::Parse(*text, &error);
    if (document.IsNull()) {
        problems.push_back(std::string(name) + " does not parse: " + error);
        return std::nullopt;
    }
    return document;
}

// SHA-256 of one member, streamed; libzip checks the member's CRC when it reaches the end.
std::optional<std::string> MemberDigest(zip_t* archive, zip_uint64_t index, std::string& error) {
    ZipFileHandle file(zip_fopen_index(archive, index, 0));
    if (!file) {
        error = zip_strerror(archive);
        return std::nullopt;
    }
    HashContext digest("SHA256", "");
    std::vector<char> buffer(1 << 20);
    zip_int64_t got = 0;
    while ((got = zip_fread(file.get(), buffer.data(), buffer.size())) > 0) {
        digest.Update(buffer.data(), static_cast<std::size_t>(got));
    }
    if (got < 0) {
        error = zip_file_strerror(file.get());
        return std::nullopt;
    }
    return digest.Finish(true);
}

void CheckMemberContent(zip_t* archive, zip_uint64_t index, const std::string& name,
                        EditionReport& report) {
    std::string error;
    const auto digest = MemberDigest(archive, index, error);
    if (!digest) {
        report.problems.push_back("member " + name + " cannot be read: " + error);
    } else if (*digest != name) {
        report.problems.push_back("member " + name +
                                  " does not match its name: its content "
                                  "has the SHA-256 " +
                                  *digest);
    }
}

// Checks every member named by a SHA-256 digest against its content; returns their names.
std::set<std::string> CheckContentMembers(zip_t* archive, EditionReport& report) {
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    std::set<std::string> contentMembers;
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char* rawName = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
        const std::string name = rawName != nullptr ? rawName : "";
        const std::string lower = Lower(name);
        if (lower == "arcinfo.json" || lower == "arcconfig.json") {
            continue;
        }
        if (!IsLowerHexDigest(name, 64)) {
            report.notes.push_back("member " + Quoted(name) +
                                   " is neither a descriptor nor named by a SHA-256 digest");
            continue;
        }
        ++report.members;
        contentMembers.insert(name);
        CheckMemberContent(archive, index, name, report);
    }
    return contentMembers;
}

void CheckDestinations(const JsonValue& entry, const std::string& where, ArcInfoUse& use,
                       EditionReport& report) {
    const auto dst = entry["dst"].Elements();
    if (dst.empty()) {
        report.problems.push_back(where + "no destination");
    }
    for (const JsonValue& destination : dst) {
        const std::string path = destination.String();
        if (path.empty() || !IsContainedRelativePath(ToUtf16(path))) {
            report.problems.push_back(where + "destination " + Quoted(path) +
                                      " is not a path inside the extraction folder");
        } else if (!use.destinations.insert(SlashSeparators(path)).second) {
            report.problems.push_back(where + "destination " + Quoted(path) + " is written twice");
        }
    }
}

ArcInfoUse CheckArcInfo(zip_t* archive, const std::set<std::string>& contentMembers,
                        EditionReport& report) {
    ArcInfoUse use;
    const auto info = ParseDescriptor(archive, "arcinfo.json", report.problems);
    if (!info) {
        return use;
    }
    if (!info->IsArray()) {
        report.problems.push_back("arcinfo.json is not a JSON array");
        return use;
    }
    std::size_t number = 0;
    for (const JsonValue& entry : info->Elements()) {
        const std::string where = "arcinfo.json entry " + std::to_string(number++) + ": ";
        const std::string hash = entry["hash"].String();
        if (contentMembers.count(hash) == 0) {
            report.problems.push_back(where + "no content member named " + Quoted(hash));
        }
        use.usedMembers.insert(hash);
        CheckDestinations(entry, where, use, report);
    }
    return use;
}

void NoteUnusedMembers(const std::set<std::string>& contentMembers, const ArcInfoUse& use,
                       EditionReport& report) {
    for (const std::string& member : contentMembers) {
        if (use.usedMembers.count(member) == 0) {
            report.notes.push_back("member " + member + " is not used by arcinfo.json");
        }
    }
}

// A start command must start a file of the package, for a language and bitness a launcher picks.
void CheckStartCommand(const JsonValue& command, const std::string& where,
                       const std::set<std::string>& destinations, EditionReport& report) {
    const std::string path = command["command"].String();
    if (path.empty()) {
        report.notes.push_back(where + "no command (the entry is passed over)");
    } else if (destinations.count(SlashSeparators(path)) == 0) {
        report.problems.push_back(where + Quoted(path) + " is not a file of the package");
    }
    const std::string language = command["language"].String();
    const std::string bitness = command["bitness"].String();
    if (language != "*" && language != "de" && language != "en") {
        report.notes.push_back(where + "language " + Quoted(language) + " is never chosen");
    }
    if (bitness != "*" && bitness != "x64" && bitness != "x86") {
        report.notes.push_back(where + "bitness " + Quoted(bitness) + " is never chosen");
    }
}

void CheckArcConfig(zip_t* archive, const std::set<std::string>& destinations,
                    EditionReport& report) {
    const auto config = ParseDescriptor(archive, "arcconfig.json", report.problems);
    if (!config) {
        return;
    }
    if (!config->IsObject()) {
        report.problems.push_back("arcconfig.json is not a JSON object");
        return;
    }
    const JsonValue commands = (*config)["startCommands"];
    if (!commands.IsArray()) {
        report.notes.push_back(
            "arcconfig.json has no \"startCommands\" list: the launcher "
            "opens the extraction folder instead of a setup");
        return;
    }
    std::size_t number = 0;
    for (const JsonValue& command : commands.Elements()) {
        const std::string where = "arcconfig.json start command " + std::to_string(number++) + ": ";
        CheckStartCommand(command, where, destinations, report);
    }
}

}  // namespace

void CheckPackage(const std::filesystem::path& file, EditionReport& report) {
    std::string reason;
    ZipHandle archive = OpenZip(file.string(), ZIP_RDONLY | ZIP_CHECKCONS, reason);
    if (!archive) {
        report.problems.push_back("the package does not open as a zip archive: " + reason);
        return;
    }
    const std::set<std::string> contentMembers = CheckContentMembers(archive.get(), report);
    const ArcInfoUse use = CheckArcInfo(archive.get(), contentMembers, report);
    NoteUnusedMembers(contentMembers, use, report);
    CheckArcConfig(archive.get(), use.destinations, report);
}
