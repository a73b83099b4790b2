#include "install/unpack_stage.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <system_error>

#include "core/message_pump.h"
#include "core/text_conversion.h"
#include "download/range_fetch.h"
#include "install/archive.h"
#include "install/archive_extraction.h"
#include "install/member_writer.h"
#include "net/blob_store.h"

namespace {

constexpr std::uint64_t MiB = 1048576;
// libzip looks for the end record in the last 64 KiB + 42 bytes of a package (the longest comment
// and the end records): at least that much is held, so that opening never waits for the download.
constexpr std::uint64_t kEndSearch = 65536 + 64;
constexpr std::size_t kComparePiece = 256 * 1024;
// While the install waits for the stage's last members: messages pumped, and how often.
constexpr std::uint32_t kPumpBudget = 5;
constexpr int kPumpEveryMs = 50;

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::size_t kEndLength = 22;
constexpr std::size_t kZip64LocatorLength = 20;
constexpr std::size_t kZip64EndLength = 56;

std::uint64_t Little(const std::string& bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// Where the central directory and the end records begin: the package's bytes from there on are
// what libzip reads to open it. None when the end does not parse.
std::optional<std::uint64_t> DirectoryStart(const std::string& end, std::uint64_t endStart,
                                            std::uint64_t size) {
    if (end.size() < kEndLength) {
        return std::nullopt;
    }
    // The last end record whose comment reaches exactly to the end of the file.
    for (std::size_t at = end.size() - kEndLength + 1; at-- > 0;) {
        if (Little(end, at, 4) != kEndSignature ||
            at + kEndLength + Little(end, at + 20, 2) != end.size()) {
            continue;
        }
        const std::uint64_t recordOffset = endStart + at;
        std::uint64_t directorySize = Little(end, at + 12, 4);
        std::uint64_t directoryOffset = Little(end, at + 16, 4);
        std::uint64_t recordsStart = recordOffset;
        if ((directorySize == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF ||
             Little(end, at + 10, 2) == 0xFFFF) &&
            at >= kZip64LocatorLength &&
            Little(end, at - kZip64LocatorLength, 4) == kZip64LocatorSignature) {
            const std::uint64_t zip64End = Little(end, at - kZip64LocatorLength + 8, 8);
            if (zip64End < endStart || zip64End - endStart + kZip64EndLength > end.size() ||
                Little(end, static_cast<std::size_t>(zip64End - endStart), 4) !=
                    kZip64EndSignature) {
                return std::nullopt;  // the ZIP64 record lies before what was fetched
            }
            const std::size_t z = static_cast<std::size_t>(zip64End - endStart);
            directorySize = Little(end, z + 40, 8);
            directoryOffset = Little(end, z + 48, 8);
            recordsStart = zip64End;
        }
        if (directoryOffset > recordsStart || directorySize > recordsStart - directoryOffset ||
            recordsStart > size) {
            return std::nullopt;
        }
        return directoryOffset;
    }
    return std::nullopt;
}

bool IsDigestName(const std::string& name) {
    return name.size() == 64 && std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The libzip source over the stage's view of the package.
struct StageSource {
    UnpackStage* stage;
    std::uint64_t offset = 0;
    zip_error_t error;
};

zip_int64_t StageSourceCallback(void* state, void* data, zip_uint64_t length,
                                zip_source_cmd_t command) {
    auto* source = static_cast<StageSource*>(state);
    switch (command) {
        case ZIP_SOURCE_OPEN:
            source->offset = 0;
            return 0;
        case ZIP_SOURCE_READ: {
            const zip_int64_t got = source->stage->ReadPackage(source->offset, data, length);
            if (got < 0) {
                zip_error_set(&source->error, ZIP_ER_READ, 0);
                return -1;
            }
            source->offset += static_cast<std::uint64_t>(got);
            return got;
        }
        case ZIP_SOURCE_CLOSE:
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source->error);
            if (stat == nullptr) {
                return -1;
            }
            zip_stat_init(stat);
            stat->size = source->stage->PackageSize();
            stat->valid |= ZIP_STAT_SIZE;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&source->error, data, length);
        case ZIP_SOURCE_FREE:
            zip_error_fini(&source->error);
            delete source;
            return 0;
        case ZIP_SOURCE_SEEK: {
            const zip_int64_t offset = zip_source_seek_compute_offset(
                source->offset, source->stage->PackageSize(), data, length, &source->error);
            if (offset < 0) {
                return -1;
            }
            source->offset = static_cast<std::uint64_t>(offset);
            return 0;
        }
        case ZIP_SOURCE_TELL:
            return static_cast<zip_int64_t>(source->offset);
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, -1);
        default:
            zip_error_set(&source->error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
    }
}

ArchiveHandle OpenStageArchive(UnpackStage& stage) {
    zip_error_t error;
    zip_error_init(&error);
    auto state = std::make_unique<StageSource>(StageSource{&stage, 0, {}});
    zip_error_init(&state->error);
    zip_source_t* source = zip_source_function_create(StageSourceCallback, state.get(), &error);
    if (source == nullptr) {
        zip_error_fini(&state->error);
        zip_error_fini(&error);
        return ArchiveHandle();
    }
    state.release();  // the source owns it now: its ZIP_SOURCE_FREE deletes it
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (archive == nullptr) {
        zip_source_free(source);  // frees the state too
    }
    zip_error_fini(&error);
    return ArchiveHandle(archive);
}

}  // namespace

namespace {
std::u16string StagingName(const SetupSelection& selection) {
    return u"." + selection.product + u"." + ToUtf16(selection.version) + u".unpacking";
}
constexpr char16_t kMembersName[] = u"members";
constexpr char16_t kTreeName[] = u"tree";
}  // namespace

std::u16string StagingFolder(const SetupSelection& selection) {
    return AsDirectoryPath(selection.destination) + StagingName(selection) + kPathSeparator;
}

namespace {
std::uint64_t& ReplacedTailBound() {
    static std::uint64_t bound = 0;
    return bound;
}
}  // namespace

std::uint64_t TailBound() {
    if (const std::uint64_t replaced = ReplacedTailBound(); replaced != 0) {
        return replaced;
    }
    return sizeof(void*) < 8 ? 4 * MiB : 16 * MiB;
}

void SetTailBound(std::uint64_t bytes) {
    ReplacedTailBound() = bytes;
}

UnpackStage::UnpackStage(const SetupSelection& selection)
    : mSelection(selection),
      mStagingName(StagingName(selection)),
      mStaging(StagingFolder(selection)),
      mMembers(mStaging + kMembersName + kPathSeparator),
      mTree(mStaging + kTreeName + kPathSeparator) {}

UnpackStage::~UnpackStage() {
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mWake.notify_all();
    if (mRunner) {
        mRunner.reset();  // joins the thread
        Discard();
    }
}

void UnpackStage::Started(std::uint64_t keptBytes) {
    if (mRunner) {
        return;
    }
    {
        std::lock_guard lock(mMutex);
        mVerified = keptBytes;
    }
    // The file the download has just opened; the identity check at the end proves it is the one
    // that was verified.
    mFile = ReadOnlyFile::Open(mSelection.destination + ToUtf16(mSelection.filename));
    // The package's end is fetched here, on the launch's thread over its connection from the digest
    // list, before the download opens its own: a third connection beside the download's first two
    // would count against a server or proxy that allows a client only two, and could leave the
    // download with one.
    mTailStart = mSelection.filesize;  // nothing in memory until the end is fetched
    mTailFailure = mFile ? FetchTail() : "the package file cannot be read while it downloads";
    mRunner = std::make_unique<OrderedHandOff<int>>(1, [this](int&) { Run(); });
    mRunner->Push(0);
}

void UnpackStage::Verified(std::uint64_t bytes) {
    {
        std::lock_guard lock(mMutex);
        mVerified = std::max(mVerified, bytes);
    }
    mWake.notify_all();
}

void UnpackStage::Ended() {
    {
        std::lock_guard lock(mMutex);
        mEnded = true;
    }
    // The end's fetch goes on: after a finished download the stage still unpacks (from the whole
    // file); after a failed one the launch ends, and the destructor cancels it.
    mWake.notify_all();
}

void UnpackStage::Run() {
    std::string why;
    try {
        why = Unpack();
    } catch (const std::bad_alloc&) {
        why = "the stage ran out of memory";
    } catch (const std::exception& error) {
        why = std::string("the stage stopped: ") + error.what();
    }
    std::lock_guard lock(mMutex);
    mWhy = std::move(why);
}

bool UnpackStage::Interrupted() {
    std::lock_guard lock(mMutex);
    return mStopping || (mEnded && mVerified < mSelection.filesize);
}

zip_int64_t UnpackStage::ReadPackage(std::uint64_t offset, void* out, std::uint64_t length) {
    const std::uint64_t size = mSelection.filesize;
    char* to = static_cast<char*>(out);
    std::uint64_t total = 0;
    while (total < length && offset < size) {
        std::uint64_t piece = std::min(length - total, size - offset);
        if (offset >= mTailStart) {
            std::memcpy(to + total, mTail.data() + (offset - mTailStart),
                        static_cast<std::size_t>(piece));
        } else {
            piece = std::min(piece, mTailStart - offset);
            {
                // Below the end held in memory only verified bytes are read: wait for them.
                std::unique_lock lock(mMutex);
                mWake.wait(lock, [&] { return mStopping || mEnded || mVerified > offset; });
                if (mStopping || mVerified <= offset) {
                    return -1;
                }
                piece = std::min(piece, mVerified - offset);
            }
            if (!mFile || mFile->ReadAt(offset, to + total, static_cast<std::size_t>(piece)) !=
                              static_cast<std::size_t>(piece)) {
                return -1;
            }
        }
        total += piece;
        offset += piece;
    }
    return static_cast<zip_int64_t>(total);
}

std::string UnpackStage::FetchTail() {
    const std::uint64_t size = mSelection.filesize;
    const ReleaseObject object{ReleaseStore(), mSelection.containername, mSelection.filename};
    ReceiveMeter meter;
    const std::atomic<bool> never{false};  // on the launch's thread: nothing cuts it short
    const auto fetch = [&](std::uint64_t first, std::string& out) {
        out.assign(static_cast<std::size_t>(size - first), '\0');
        std::size_t filled = 0;
        return FetchPiece(object, first, size - 1, out.data(), out.size(), filled, never, meter) &&
               filled == out.size();
    };
    if (size <= kEndSearch) {
        // Its end is all of it: there is nothing to unpack before the last byte arrives.
        return "the package is not larger than its end records";
    }
    std::string end;
    const std::uint64_t endStart = size - std::min(size, kEndSearch);
    if (!fetch(endStart, end)) {
        return "the end of the package could not be fetched";
    }
    const std::optional<std::uint64_t> directory = DirectoryStart(end, endStart, size);
    if (!directory) {
        return "the end of the package does not parse as a zip archive";
    }
    if (size - *directory > TailBound()) {
        return "its central directory and end records (" + std::to_string(size - *directory) +
               " bytes) are larger than the bound of " + std::to_string(TailBound()) + " bytes";
    }
    const std::uint64_t start = std::min(*directory, endStart);
    if (start < endStart && !fetch(start, end)) {
        return "the central directory of the package could not be fetched";
    }
    mTail = std::move(end);
    mTailStart = start;
    return {};
}

std::string UnpackStage::Unpack() {
    if (!mTailFailure.empty()) {
        return mTailFailure;
    }
    ArchiveHandle archive = OpenStageArchive(*this);
    if (!archive) {
        return "the end of the package does not open as a zip archive";
    }
    return PlanAndStage(archive.get());
}

std::string UnpackStage::PlanAndStage(zip_t* archive) {
    // The plan: every member is a descriptor (read after the download) or a content member named
    // by its digest, readable, and unique. Anything else is unpacked after the download.
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    std::vector<std::string> members;
    std::set<std::string> seen;
    std::uint64_t unpacked = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat) != 0 ||
            stat.name == nullptr) {
            return "a member of the package cannot be read";
        }
        const std::string name = stat.name;
        const std::string lower = AsciiLower(name);
        if (lower == "arcinfo.json" || lower == "arcconfig.json") {
            continue;
        }
        if (!IsDigestName(name)) {
            return "it holds a member whose name is no digest";
        }
        if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 &&
            stat.encryption_method != ZIP_EM_NONE) {
            return "it holds an encrypted member";
        }
        if ((stat.valid & ZIP_STAT_COMP_METHOD) != 0 &&
            zip_compression_method_supported(stat.comp_method, 0) == 0) {
            return "it holds a member compressed by a method that cannot be read";
        }
        if (!seen.insert(name).second) {
            return "it holds two members of one name";
        }
        unpacked += (stat.valid & ZIP_STAT_SIZE) != 0 ? stat.size : 0;
        members.push_back(name);
    }

    // The members take their room while the download still needs its own: without room for both,
    // the download must not be the one that runs short.
    std::uint64_t verified = 0;
    {
        std::lock_guard lock(mMutex);
        verified = mVerified;
    }
    std::error_code error;
    const std::filesystem::space_info space =
        std::filesystem::space(NativePath(mSelection.destination), error);
    if (error || space.available < unpacked + (mSelection.filesize - verified)) {
        return "there is too little room to unpack it while it downloads";
    }

    // The staging folder: a leftover of a launch that ended early is removed first; nothing on the
    // way may be a link.
    DeleteDirectoryTree(mStaging);
    if (PathExists(mStaging) || !CreateDirectoryOnce(mStaging) || IsLink(mStaging)) {
        return "its staging folder cannot be made";
    }
    HideEntry(mStaging);
    if (!CreateDirectoryOnce(mMembers) || IsLink(mMembers)) {
        return "its staging folder cannot be made";
    }

    // Members in the order of the central directory (the order they were packed): each is read
    // as soon as its bytes are verified, checked by its digest and kept only when it matches.
    MemberWriter writer;
    for (const std::string& name : members) {
        if (Interrupted()) {
            return "the download ended before the package was unpacked";
        }
        std::string digest;
        const ExtractionResult written =
            ExtractMemberToFile(name, archive, mMembers, ToUtf16(name), writer, digest);
        if (written && digest == name) {
            std::lock_guard lock(mMutex);
            mStaged.insert(name);
        } else {
            // Unpacked again from the verified package after the download, which then reports
            // what is wrong with it.
            DeleteFileAt(mMembers + ToUtf16(name));
        }
    }
    if (Interrupted()) {
        return "the download ended before the package was unpacked";
    }
    return {};
}

bool UnpackStage::TailMatches(const ReadOnlyFile& package) const {
    std::string piece(kComparePiece, '\0');
    for (std::size_t at = 0; at < mTail.size(); at += kComparePiece) {
        const std::size_t length = std::min(kComparePiece, mTail.size() - at);
        if (package.ReadAt(mTailStart + at, piece.data(), length) != length ||
            std::memcmp(piece.data(), mTail.data() + at, length) != 0) {
            return false;
        }
    }
    return true;
}

bool UnpackStage::Conclude(const ReadOnlyFile& package, std::string& why) {
    if (!mRunner) {
        why = "the download did not run";
        return false;
    }
    Ended();  // the download is over: a read that still waits ends
    // The stage may still be inflating the last members; the windows keep answering meanwhile.
    while (!mRunner->DrainFor(std::chrono::milliseconds(kPumpEveryMs))) {
        PumpMessages(kPumpBudget);
    }
    {
        std::lock_guard lock(mMutex);
        why = mWhy;
    }
    if (why.empty() && !(mFile && mFile->Identity() == package.Identity())) {
        why = "the package is not the file that was unpacked while it downloaded";
    }
    if (why.empty() && !TailMatches(package)) {
        why = "the central directory fetched first differs from the verified package";
    }
    mFile.reset();
    std::string().swap(mTail);
    if (!why.empty()) {
        Discard();
        return false;
    }
    return true;
}

bool UnpackStage::PlaceStagedMember(const std::string& digest, const std::u16string& relative) {
    {
        std::lock_guard lock(mMutex);
        if (mStaged.erase(digest) == 0) {
            return false;
        }
    }
    // Both names are reached from the staging folder without following a link on the way.
    return MoveBelow(mStaging, std::u16string(kMembersName) + kPathSeparator + ToUtf16(digest),
                     std::u16string(kTreeName) + kPathSeparator + relative);
}

bool UnpackStage::MoveTreeTo(const std::u16string& folderName) {
    return MoveBelow(AsDirectoryPath(mSelection.destination),
                     mStagingName + kPathSeparator + kTreeName, folderName);
}

void UnpackStage::Discard() {
    {
        std::lock_guard lock(mMutex);
        mStaged.clear();
    }
    DeleteDirectoryTree(mStaging);
}
