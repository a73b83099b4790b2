#include "install/archive_extraction.h"

#include <memory>

#include "core/file_system.h"
#include "core/hash_context.h"
#include "core/message_pump.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "install/archive.h"
#include "install/member_writer.h"
#include "install/setup_process.h"
#include "install/unpack_stage.h"
#include "ui/progress_estimate.h"

namespace {

constexpr std::uint32_t kPumpBudget = 5;
// Bytes inflated at a time: large enough to keep the writer's system calls few, small enough to
// still be in the processor's cache when they are hashed and written.
constexpr std::size_t kPieceSize = 256 * 1024;

std::function<void(const std::u16string&)>& SetupStarter() {
    static std::function<void(const std::u16string&)> starter;
    return starter;
}

struct MemberCloser {
    void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
};
using MemberHandle = std::unique_ptr<zip_file_t, MemberCloser>;

std::string Quoted(const std::u16string& text) {
    return "\"" + ToUtf8(text) + "\"";
}

// Refuses an entry before anything is written: it needs a destination, every destination must
// stay inside the extraction folder, and its whole path must fit the platform's path limit (a
// longer one could not be created, and making its folders would only cost time and memory).
ExtractionResult CheckDestinations(const std::u16string& folder, const ArcInfoEntry& entry,
                                   std::size_t number) {
    if (entry.destinations.empty()) {
        return ExtractionResult::Failure("entry " + std::to_string(number) + " (member " +
                                         entry.hash + ") has no destination");
    }
    for (const std::u16string& destination : entry.destinations) {
        const std::u16string normalized = NormalizeSeparators(destination);
        if (!FitsPathLimit(folder + normalized)) {
            return ExtractionResult::Failure("the destination of entry " + std::to_string(number) +
                                             " (" + std::to_string(destination.size()) +
                                             " characters) is longer than a path may be");
        }
        if (normalized.empty() || !IsContainedRelativePath(normalized)) {
            return ExtractionResult::Failure("the destination " + Quoted(destination) +
                                             " of entry " + std::to_string(number) +
                                             " lies outside the extraction folder");
        }
    }
    return ExtractionResult::Success();
}

// The package the install reads: the file the download verified and held open, or else the file at
// the package's name, opened without following a link there. Empty when it cannot be opened or is
// no zip archive.
ArchiveHandle OpenPackage(const SetupSelection& selection) {
    if (selection.package) {
        return OpenArchive(*selection.package);
    }
    const std::unique_ptr<ReadOnlyFile> file = ReadOnlyFile::Open(ArchivePath(selection));
    return file ? OpenArchive(*file) : ArchiveHandle();
}

// Whether every destination of "arcinfo.json" fits the platform's path limit below the folder. The
// staging folder's tree lies deeper than the extraction folder: a package whose destinations fit
// only the shorter path is unpacked the usual way. (A descriptor too large to read fails later.)
bool FitsBelow(zip_t* archive, const std::u16string& folder) {
    if (IsDescriptorTooLarge(archive, "arcinfo.json")) {
        return true;
    }
    for (const ArcInfoEntry& entry : ReadArcInfo(archive)) {
        for (const std::u16string& destination : entry.destinations) {
            if (!FitsPathLimit(folder + NormalizeSeparators(destination))) {
                return false;
            }
        }
    }
    return true;
}

// The extraction folder's name in the destination: product + "." + release key.
std::u16string FolderName(const SetupSelection& selection) {
    return selection.product + u"." + ToUtf16(selection.version);
}

// The extraction folder's own name must be a plain name: it is deleted and filled.
bool IsPlainFolderName(const std::u16string& name) {
    return IsContainedRelativePath(name) && name.find(u'/') == std::u16string::npos &&
           name.find(u'\\') == std::u16string::npos;
}

}  // namespace

void SetSetupStarter(std::function<void(const std::u16string& path)> starter) {
    SetupStarter() = std::move(starter);
}

std::u16string ArchivePath(const SetupSelection& selection) {
    return selection.destination + ToUtf16(selection.filename);
}

std::u16string ExtractionFolder(const SetupSelection& selection) {
    return AsDirectoryPath(selection.destination) + FolderName(selection) + kPathSeparator;
}

void InstallArchive(SetupSelection selection, UnpackStage* stage) {
    const std::string failure = "The package " + selection.filename + " could not be unpacked: ";
    const std::u16string folderName = FolderName(selection);
    if (!IsPlainFolderName(folderName)) {
        THROW_ZIP(failure + Quoted(folderName) + " is no folder name");
    }
    const std::u16string folder = ExtractionFolder(selection);
    const std::u16string package = ArchivePath(selection);
    // The package and the extraction folder are the launcher's own: a link at either name was put
    // there by someone else, and following it would read or change files outside the destination.
    for (const std::u16string& own : {package, folder}) {
        if (IsLink(own)) {
            THROW_ZIP(LinkRefusal(own));
        }
    }
    // Unpacking and choosing the setup read one open file: the verified one when the download
    // handed it over, else the one at the package's name now.
    if (!selection.package) {
        selection.package = ReadOnlyFile::Open(package);
    }
    // An earlier extraction of the same release is removed, never reused; so is a staging folder
    // left by a launch that ended while it unpacked (one that a stage of this launch uses stays).
    DeleteDirectoryTree(folder);
    if (stage == nullptr || !stage->Active()) {
        DeleteDirectoryTree(StagingFolder(selection));
    }

    const ExtractionResult result = ExtractArchive(folder, selection, stage);
    if (!result) {
        // The package and what was extracted stay (through a stage: nothing of the extraction);
        // the next launch unpacks again from scratch.
        THROW_ZIP(failure + result.reason);
    }
    if (!selection.download_only) {
        StartArchiveSetup(folder, selection);
    }
    selection.package.reset();
    DeleteFileAt(package);
}

ExtractionResult ExtractArchive(const std::u16string& folder, const SetupSelection& selection,
                                UnpackStage* stage) {
    ScopeTimer timer(u"extract");
    ArchiveHandle archive = OpenPackage(selection);
    bool staged = false;
    if (stage != nullptr && stage->Active()) {
        std::string why;
        staged = archive && selection.package && stage->Conclude(*selection.package, why);
        if (staged && !FitsBelow(archive.get(), stage->TreeFolder())) {
            why = "a destination is too long for the staging folder";
            staged = false;
            stage->Discard();
        }
        if (!staged && !why.empty()) {
            LOG_RECORD("unpacking " + selection.filename + " after its download: " + why);
        }
    }
    if (!archive) {
        return ExtractionResult::Failure("it cannot be opened as a zip archive");
    }
    if (!staged) {
        ExtractionResult result = ExtractWithProgress(archive.get(), folder);
        CloseArchive(archive);
        return result;
    }
    // The extraction folder is built in the staging folder and moved into place in one rename once
    // every member is in it and checked; the stage removes the staging folder on every path.
    const std::u16string& tree = stage->TreeFolder();
    ExtractionResult result = ExtractWithProgress(archive.get(), tree, stage);
    CloseArchive(archive);
    if (result && PathExists(tree) && !stage->MoveTreeTo(FolderName(selection))) {
        result = ExtractionResult::Failure(Quoted(tree) + " cannot be moved to " + Quoted(folder));
    } else if (!result) {
        // The message names the file where it would have been: in the extraction folder.
        const std::string from = ToUtf8(tree);
        const std::string to = ToUtf8(folder);
        for (std::size_t at = result.reason.find(from); at != std::string::npos;
             at = result.reason.find(from, at + to.size())) {
            result.reason.replace(at, from.size(), to);
        }
    }
    stage->Discard();
    return result;
}

ExtractionResult ExtractWithProgress(zip_t* archive, const std::u16string& folder,
                                     UnpackStage* stage) {
    for (const char* descriptor : {"arcinfo.json", "arcconfig.json"}) {
        if (IsDescriptorTooLarge(archive, descriptor)) {
            return ExtractionResult::Failure(
                "its descriptor " + std::string(descriptor) + " is larger than " +
                std::to_string(kMaxDescriptorSize / (1024 * 1024)) + " MiB");
        }
    }
    const std::vector<ArcInfoEntry> entries = ReadArcInfo(archive);
    ExtractionProgress progress;
    progress.Create();
    progress.AppendToTitle(u"(extract)");
    progress.SetProgressRange(static_cast<std::uint32_t>(entries.size()));
    ExtractionResult result = ExtractAllEntries(folder, entries, archive, progress, stage);
    progress.Destroy();
    return result;
}

ExtractionResult ExtractAllEntries(const std::u16string& folder,
                                   const std::vector<ArcInfoEntry>& entries, zip_t* archive,
                                   ExtractionProgress& progress, UnpackStage* stage) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (ExtractionResult checked = CheckDestinations(folder, entries[i], i + 1); !checked) {
            return checked;
        }
    }
    // All folders exist before the first file is written; each is asked for once. The extraction
    // folder is made in the destination (which holds the package); the folders below it are made
    // from it down, without following a link on the way.
    MadeFolders made;
    for (const ArcInfoEntry& entry : entries) {
        for (const std::u16string& destination : entry.destinations) {
            if (made.insert(folder).second) {
                CreateDirectoryOnce(folder);
            }
            const std::u16string relative = NormalizeSeparators(destination);
            const std::size_t cut = relative.rfind(kPathSeparator);
            if (cut != std::u16string::npos && made.insert(relative.substr(0, cut)).second) {
                // A folder that cannot be made shows when its file is written.
                CreateFoldersBelow(folder, relative);
            }
        }
    }
    MemberWriter writer;
    for (const ArcInfoEntry& entry : entries) {
        PumpMessages(kPumpBudget);
        if (ExtractionResult extracted = ExtractEntry(entry, archive, folder, writer, stage);
            !extracted) {
            return extracted;
        }
        PumpMessages(kPumpBudget);
        progress.ProgressStep();
        PumpMessages(kPumpBudget);
    }
    return ExtractionResult::Success();
}

ExtractionResult ExtractEntry(const ArcInfoEntry& entry, zip_t* archive,
                              const std::u16string& folder, MemberWriter& writer,
                              UnpackStage* stage) {
    if (entry.destinations.empty()) {
        return ExtractionResult::Failure("member " + entry.hash + " has no destination");
    }
    const std::u16string firstDestination = NormalizeSeparators(entry.destinations.front());
    const std::u16string first = folder + firstDestination;
    std::string digest;
    // A member the stage unpacked is already checked against its digest (its name): it is moved
    // to its first destination, a rename inside the staging folder. Any other is inflated now.
    if (stage != nullptr && stage->PlaceStagedMember(entry.hash, firstDestination)) {
        digest = entry.hash;
    } else if (ExtractionResult written = ExtractMemberToFile(entry.hash, archive, folder,
                                                              firstDestination, writer, digest);
               !written) {
        return written;
    }
    if (digest != entry.hash) {
        return ExtractionResult::Failure(Quoted(entry.destinations.front()) +
                                         " does not match its digest " + entry.hash);
    }
    // Content needed in several places is inflated once and copied. The same place written
    // differently (other separators) is the first file itself and must not be copied onto itself.
    for (const std::u16string& destination : entry.destinations) {
        const std::u16string relative = NormalizeSeparators(destination);
        if (folder + relative != first) {
            CopyFileInto(first, CreateFileBelow(folder, relative));
        }
    }
    return ExtractionResult::Success();
}

ExtractionResult ExtractMemberToFile(const std::string& name, zip_t* archive,
                                     const std::u16string& folder, const std::u16string& relative,
                                     MemberWriter& writer, std::string& digest) {
    zip_uint64_t index = 0;
    if (!LocateMember(archive, name, index)) {
        return ExtractionResult::Failure("the member " + name + " is missing");
    }
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, index, 0, &stat) != 0 || stat.name == nullptr ||
        std::string(stat.name).ends_with('/')) {
        return ExtractionResult::Failure("the member " + name + " is no file");
    }
    MemberHandle member(zip_fopen_index(archive, index, 0));
    if (!member) {
        return ExtractionResult::Failure("the member " + name +
                                         " cannot be read: " + zip_strerror(archive));
    }
    // Reading to the end lets libzip compare the member's CRC; a mismatch fails the last read.
    // The writer hashes the bytes as it writes them, so the file is not read again for its check.
    // A write that failed counts before a read that failed after it, as the bytes came in order.
    writer.Begin(folder, relative);
    const std::u16string target = folder + relative;
    const auto cannotBeWritten = [&target] {
        return ExtractionResult::Failure(Quoted(target) + " cannot be written");
    };
    zip_uint64_t total = 0;
    for (;;) {
        std::string piece = writer.SpareBuffer();
        piece.resize(kPieceSize);  // clears only what grows: a spare is usually full-sized
        const zip_int64_t got = zip_fread(member.get(), piece.data(), piece.size());
        if (got < 0) {
            const std::string why = zip_file_strerror(member.get());
            if (!writer.End().written) {
                return cannotBeWritten();
            }
            return ExtractionResult::Failure("the member " + name + " cannot be read: " + why);
        }
        if (got == 0) {
            break;
        }
        piece.resize(static_cast<std::size_t>(got));
        writer.Write(std::move(piece));
        total += static_cast<zip_uint64_t>(got);
    }
    const MemberOutcome outcome = writer.End();
    if (!outcome.written) {
        return cannotBeWritten();
    }
    if ((stat.valid & ZIP_STAT_SIZE) != 0 && total != stat.size) {
        return ExtractionResult::Failure("the member " + name + " is incomplete");
    }
    digest = outcome.digest;
    return ExtractionResult::Success();
}

void StartArchiveSetup(const std::u16string& folder, const SetupSelection& selection) {
    std::vector<StartCommand> commands;
    {
        ArchiveHandle archive = OpenPackage(selection);
        if (!archive) {
            THROW_ZIP("Cannot open arc file");
        }
        commands = ReadStartCommands(archive.get());
    }
    StartCommand chosen;
    try {
        chosen = ChooseStartCommand(commands);
    } catch (const AbortException&) {
        LOG_RECORD_WIDE(u"user abort");
        return;
    }
    // With no command the extraction folder itself is opened.
    const std::u16string command = NormalizeSeparators(ToUtf16(chosen.command));
    if (!command.empty() && !IsContainedRelativePath(command)) {
        THROW_ZIP("The setup of " + selection.filename + " cannot be started: its command " +
                  Quoted(ToUtf16(chosen.command)) + " lies outside the extraction folder");
    }
    const std::u16string path = folder + command;
    if (const auto& starter = SetupStarter()) {
        starter(path);
    } else {
        StartProcess(path);
    }
}
