#include "tools/publisher/release_verifier.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "catalogue/release_selection.h"
#include "core/file_system.h"
#include "core/launcher_version.h"
#include "core/text_conversion.h"
#include "tools/publisher/block_digester.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publication_names.h"
#include "tools/publisher/temp_file.h"
#include "tools/publisher/zip_handle.h"

namespace {

// Descriptors are read into memory; anything larger is no descriptor a launcher should parse.
constexpr zip_uint64_t kDescriptorLimit = 16 * 1024 * 1024;
constexpr std::size_t kListedBlockFaults = 5;

// Receives a release file: digests it and, for packages, keeps a copy to open afterwards.
class DigestingSink : public ObjectSink {
  public:
    DigestingSink(std::uint64_t blocksize, const std::filesystem::path* copy, ProgressBar& bar)
        : mBlocksize(blocksize), mCopy(copy), mBar(bar) {}

    void Restart() override {
        mDigester.emplace(mBlocksize);
        mBar.Set(0);
        mWritten = 0;
        if (mCopy != nullptr) {
            mOut.close();
            mOut.clear();
            mOut.open(*mCopy, std::ios::binary | std::ios::trunc);
        }
    }

    void Write(const char* data, std::size_t length) override {
        mDigester->Update(data, length);
        mWritten += length;
        mBar.Set(mWritten);
        if (mCopy != nullptr) {
            mOut.write(data, static_cast<std::streamsize>(length));
        }
    }

    bool CopyFailed() {
        mOut.close();
        return mCopy != nullptr && mOut.fail();
    }

    FileDigests Finish() { return mDigester ? mDigester->Finish() : BlockDigester(0).Finish(); }

  private:
    std::uint64_t mBlocksize;
    const std::filesystem::path* mCopy;
    ProgressBar& mBar;
    std::optional<BlockDigester> mDigester;
    std::uint64_t mWritten = 0;
    std::ofstream mOut;
};

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string SlashSeparators(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// The launcher refuses a release key or file name that could leave its folder.
bool LauncherRefusesName(const std::string& name) {
    return !IsPlainFileName(name);
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

void CheckPackage(const std::filesystem::path& file, EditionReport& report) {
    std::string reason;
    ZipHandle archive = OpenZip(file.string(), ZIP_RDONLY | ZIP_CHECKCONS, reason);
    if (!archive) {
        report.problems.push_back("the package does not open as a zip archive: " + reason);
        return;
    }
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    std::set<std::string> contentMembers;
    std::vector<std::string> wrongMembers;
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char* rawName = zip_get_name(archive.get(), index, ZIP_FL_ENC_RAW);
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
        std::string error;
        const auto digest = MemberDigest(archive.get(), index, error);
        if (!digest) {
            report.problems.push_back("member " + name + " cannot be read: " + error);
        } else if (*digest != name) {
            report.problems.push_back("member " + name +
                                      " does not match its name: its content "
                                      "has the SHA-256 " +
                                      *digest);
        }
    }

    std::set<std::string> destinations;
    std::set<std::string> usedMembers;
    if (const auto text = ReadDescriptor(archive.get(), "arcinfo.json", report.problems)) {
        std::string error;
        const JsonValue info = JsonValue::Parse(*text, &error);
        if (info.IsNull()) {
            report.problems.push_back("arcinfo.json does not parse: " + error);
        } else if (!info.IsArray()) {
            report.problems.push_back("arcinfo.json is not a JSON array");
        } else {
            std::size_t number = 0;
            for (const JsonValue& entry : info.Elements()) {
                const std::string where = "arcinfo.json entry " + std::to_string(number++) + ": ";
                const std::string hash = entry["hash"].String();
                if (contentMembers.count(hash) == 0) {
                    report.problems.push_back(where + "no content member named " + Quoted(hash));
                }
                usedMembers.insert(hash);
                const auto dst = entry["dst"].Elements();
                if (dst.empty()) {
                    report.problems.push_back(where + "no destination");
                }
                for (const JsonValue& destination : dst) {
                    const std::string path = destination.String();
                    if (path.empty() || !IsContainedRelativePath(ToUtf16(path))) {
                        report.problems.push_back(where + "destination " + Quoted(path) +
                                                  " is not a path inside the extraction folder");
                    } else if (!destinations.insert(SlashSeparators(path)).second) {
                        report.problems.push_back(where + "destination " + Quoted(path) +
                                                  " is written twice");
                    }
                }
            }
        }
    }
    for (const std::string& member : contentMembers) {
        if (usedMembers.count(member) == 0) {
            report.notes.push_back("member " + member + " is not used by arcinfo.json");
        }
    }

    if (const auto text = ReadDescriptor(archive.get(), "arcconfig.json", report.problems)) {
        std::string error;
        const JsonValue config = JsonValue::Parse(*text, &error);
        if (config.IsNull()) {
            report.problems.push_back("arcconfig.json does not parse: " + error);
        } else if (!config.IsObject()) {
            report.problems.push_back("arcconfig.json is not a JSON object");
        } else if (!config["startCommands"].IsArray()) {
            report.notes.push_back(
                "arcconfig.json has no \"startCommands\" list: the launcher "
                "opens the extraction folder instead of a setup");
        } else {
            std::size_t number = 0;
            for (const JsonValue& command : config["startCommands"].Elements()) {
                const std::string where =
                    "arcconfig.json start command " + std::to_string(number++) + ": ";
                const std::string path = command["command"].String();
                if (path.empty()) {
                    report.notes.push_back(where + "no command (the entry is passed over)");
                } else if (destinations.count(SlashSeparators(path)) == 0) {
                    report.problems.push_back(where + Quoted(path) +
                                              " is not a file of the package");
                }
                const std::string language = command["language"].String();
                const std::string bitness = command["bitness"].String();
                if (language != "*" && language != "de" && language != "en") {
                    report.notes.push_back(where + "language " + Quoted(language) +
                                           " is never chosen");
                }
                if (bitness != "*" && bitness != "x64" && bitness != "x86") {
                    report.notes.push_back(where + "bitness " + Quoted(bitness) +
                                           " is never chosen");
                }
            }
        }
    }
}

void CheckEdition(ObjectSource& source, const std::string& container, const JsonValue& edition,
                  EditionReport& report) {
    const std::string filename = edition["filename"].String();
    const std::string hash = edition["hash"].String();
    const std::string blockhash = edition["blockhash"].String();
    const std::uint64_t filesize = edition["filesize"].Number();
    const std::uint64_t blocksize = edition["blocksize"].Number();
    const bool isArc = report.filetype != "iso";
    report.object = container + "/" + filename;

    if (!IsValidObjectName(filename)) {
        report.problems.push_back("file name " + Quoted(filename) + " is not a usable object name");
        return;
    }
    if (!IsLowerHexDigest(hash, 64)) {
        report.problems.push_back("\"hash\" " + Quoted(hash) +
                                  " is not a lower-case hex SHA-256 digest");
    }

    std::optional<std::vector<std::string>> digestList;
    if (blockhash.empty()) {
        if (isArc && filesize > 0) {
            report.problems.push_back(
                "no digest list (\"blockhash\" is empty): the launcher "
                "cannot download it");
        }
    } else if (!IsValidObjectName(blockhash)) {
        report.problems.push_back("digest list name " + Quoted(blockhash) +
                                  " is not a usable object name");
    } else if (blocksize == 0) {
        report.problems.push_back("\"blocksize\" is 0");
    } else {
        std::string text;
        if (!source.ReadText(container + "/" + blockhash, text)) {
            report.problems.push_back("the digest list " + container + "/" + blockhash +
                                      " cannot be read (missing object?)");
        } else {
            const JsonValue list = JsonValue::Parse(text);
            if (!list.IsArray()) {
                report.problems.push_back("the digest list " + container + "/" + blockhash +
                                          " is not a JSON array");
            } else {
                digestList.emplace();
                for (const JsonValue& entry : list.Elements()) {
                    if (!IsLowerHexDigest(entry.String(), 32)) {
                        report.problems.push_back("digest list entry " +
                                                  std::to_string(digestList->size()) +
                                                  " is not a lower-case hex MD5 text");
                    }
                    digestList->push_back(entry.String());
                }
                const std::uint64_t expected =
                    filesize / blocksize + (filesize % blocksize != 0 ? 1 : 0);
                if (digestList->size() != expected) {
                    report.problems.push_back(
                        "the digest list has " + std::to_string(digestList->size()) +
                        " entries, but filesize " + std::to_string(filesize) + " in blocks of " +
                        std::to_string(blocksize) + " makes " + std::to_string(expected));
                }
            }
        }
    }

    std::optional<TempFile> copy;
    if (isArc) {
        copy.emplace("setup-publisher-verify");
    }
    FileDigests digests;
    {
        ProgressBar bar("reading " + filename, filesize);
        DigestingSink sink(digestList ? blocksize : 0, copy ? &copy->Path() : nullptr, bar);
        if (!source.Stream(report.object, sink)) {
            report.problems.push_back("the release file " + report.object +
                                      " cannot be read (missing object?)");
            return;
        }
        if (sink.CopyFailed()) {
            report.problems.push_back("cannot keep a copy of the package in " +
                                      copy->Path().string());
            copy.reset();
        }
        digests = sink.Finish();
    }
    report.size = digests.size;
    report.blocks = digests.blockMd5s.size();
    if (digests.size != filesize) {
        report.problems.push_back("the release file has " + std::to_string(digests.size) +
                                  " bytes, but \"filesize\" says " + std::to_string(filesize));
    }
    if (digests.sha256 != hash) {
        report.problems.push_back("the release file's SHA-256 is " + digests.sha256 +
                                  ", but \"hash\" says " + hash);
    }
    if (digestList) {
        std::size_t faults = 0;
        const std::size_t compared = std::min(digestList->size(), digests.blockMd5s.size());
        for (std::size_t block = 0; block < compared; ++block) {
            if (digests.blockMd5s[block] == (*digestList)[block]) {
                continue;
            }
            if (++faults <= kListedBlockFaults) {
                report.problems.push_back("block " + std::to_string(block) + " has the MD5 " +
                                          digests.blockMd5s[block] + ", but the digest list says " +
                                          (*digestList)[block]);
            }
        }
        if (faults > kListedBlockFaults) {
            report.problems.push_back("and " + std::to_string(faults - kListedBlockFaults) +
                                      " more blocks that do not match the digest list");
        }
    }
    if (copy) {
        CheckPackage(copy->Path(), report);
    }
}

}  // namespace

std::size_t VerifyReport::ProblemCount() const {
    std::size_t count = problems.size();
    for (const EditionReport& edition : editions) {
        count += edition.problems.size();
    }
    return count;
}

VerifyReport VerifyProduct(ObjectSource& source, const std::string& product) {
    VerifyReport report;
    report.source = source.Describe();
    report.index = IndexObjectPath(product);
    std::string error;
    const ProductCatalog catalog = source.ReadIndex(product, error);
    if (catalog.IsNull()) {
        report.problems.push_back("the index " + report.index + " " +
                                  (error == "cannot be read" ? "cannot be read (missing object?)"
                                                             : "is not valid JSON: " + error));
        return report;
    }
    if (!catalog.IsObject()) {
        report.problems.push_back("the index is not a JSON object");
        return report;
    }
    report.current = catalog["current_release"].String();
    const auto releases = catalog["releases"].Members();
    if (releases.empty()) {
        report.problems.push_back("the index lists no releases");
    }
    if (report.current.empty()) {
        report.problems.push_back("the index has no \"current_release\"");
    } else if (catalog["releases"][report.current].IsNull()) {
        report.problems.push_back("\"current_release\" " + Quoted(report.current) +
                                  " is not a release of the index");
    }
    if (!catalog["forbid_release_selection"].IsNull()) {
        report.notes.push_back(
            "\"forbid_release_selection\" is set: only the current release "
            "is offered");
    }
    std::set<std::string> offered;
    for (const ReleaseChoice& choice : OfferedReleases(catalog)) {
        offered.insert(choice.key);
    }

    for (const auto& [key, release] : releases) {
        EditionReport base;
        base.release = key;
        bool checkable = true;
        const std::string filetype = release["filetype"].String();
        base.filetype = filetype.empty() ? "arc" : filetype;
        if (LauncherRefusesName(key)) {
            base.problems.push_back("the launcher refuses the release key " + Quoted(key));
            checkable = false;
        } else if (!IsValidReleaseKey(key)) {
            base.notes.push_back("the release key is not decimal numbers separated by dots");
        }
        if (offered.count(key) == 0 && catalog["forbid_release_selection"].IsNull()) {
            base.notes.push_back(
                "not offered: its version number is not below the current "
                "release's");
        }
        if (!release.IsObject()) {
            base.problems.push_back("the release is not a JSON object");
            report.editions.push_back(std::move(base));
            continue;
        }
        if (filetype != "" && filetype != "arc" && filetype != "iso") {
            base.problems.push_back("\"filetype\" " + Quoted(filetype) +
                                    " is neither \"arc\" nor \"iso\"");
        }
        if (release["required_setup"].Number() > LauncherVersion) {
            base.notes.push_back("launchers of version " + std::to_string(LauncherVersion) +
                                 " refuse it (\"required_setup\" " +
                                 std::to_string(release["required_setup"].Number()) + ")");
        }
        if (release["release"].String().empty()) {
            base.notes.push_back("no display text (\"release\")");
        }
        const std::string container = release["containername"].String();
        if (!IsValidContainerName(container)) {
            checkable = false;
            base.problems.push_back("\"containername\" " + Quoted(container) +
                                    " is not a usable container name");
        }
        auto languages = release["languages"].Members();
        std::vector<std::pair<std::string, JsonValue>> editions;
        if (languages.empty()) {
            editions.emplace_back("", release);
        } else {
            editions = std::move(languages);
        }
        for (const auto& [language, edition] : editions) {
            EditionReport editionReport = base;
            editionReport.language = language;
            if (!language.empty() && !IsValidLanguageCode(language)) {
                editionReport.notes.push_back("the language " + Quoted(language) +
                                              " is not a locale name like de-DE");
            }
            if (!edition.IsObject()) {
                editionReport.problems.push_back("the language edition is not a JSON object");
            } else if (checkable) {
                CheckEdition(source, container, edition, editionReport);
            }
            report.editions.push_back(std::move(editionReport));
        }
    }
    return report;
}

void PrintReport(const VerifyReport& report, std::ostream& out) {
    out << "Index " << report.index << " on " << report.source;
    if (!report.current.empty()) {
        out << ", current release " << report.current;
    }
    out << "\n";
    for (const std::string& problem : report.problems) {
        out << "  FAULT: " << problem << "\n";
    }
    for (const std::string& note : report.notes) {
        out << "  note: " << note << "\n";
    }
    for (const EditionReport& edition : report.editions) {
        out << edition.release;
        if (!edition.language.empty()) {
            out << " " << edition.language;
        }
        out << " (" << edition.filetype << ")";
        if (!edition.object.empty()) {
            out << " " << edition.object;
        }
        if (edition.problems.empty()) {
            out << ": ok, " << Counted(edition.size, "byte") << ", "
                << Counted(edition.blocks, "block");
            if (edition.filetype != "iso") {
                out << ", " << Counted(edition.members, "content");
            }
        }
        out << "\n";
        for (const std::string& problem : edition.problems) {
            out << "  FAULT: " << problem << "\n";
        }
        for (const std::string& note : edition.notes) {
            out << "  note: " << note << "\n";
        }
    }
    const std::size_t problems = report.ProblemCount();
    if (problems == 0) {
        out << "All " << Counted(report.editions.size(), "edition") << " verified.\n";
    } else {
        out << Counted(problems, "problem") << " found.\n";
    }
}
