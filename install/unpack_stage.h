#pragma once
// Unpacking an "arc" package while it downloads. The zip's central directory lies at its end: the
// stage fetches that end first, when the download starts and before it opens its connections
// (range requests, held in memory only, so the file on disk stays a prefix of verified blocks),
// opens the package through a libzip source over "verified prefix of
// the file + end in memory", and inflates every content member (named by the SHA-256 of its
// content) into a hidden staging folder as soon as all of its bytes are verified, keeping it only
// when its digest matches its name. A read beyond the verified prefix waits until the download
// has written more, or fails once the download ended.
//
// Nothing of it is used until the install concludes it: the package's SHA-256 matched, the file
// is the one the stage read, and the end held in memory equals the verified file's bytes there.
// Otherwise (or when the package is one the stage cannot follow) the install unpacks the package
// after the download, as without the stage, and the staging folder is removed.
//
// One thread beside the download's (with a MemberWriter thread of its own while it inflates); in
// memory at most the package's end (TailBound) and the writer's few pieces.
#include <zip.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "catalogue/release_index.h"
#include "core/file_system.h"
#include "core/ordered_hand_off.h"
#include "download/package_watcher.h"

// The hidden folder beside the extraction folder in which a package is unpacked while it
// downloads: destination + "." + product + "." + release key + ".unpacking" + separator.
std::u16string StagingFolder(const SetupSelection& selection);
// The most bytes of a package's central directory and end records that the stage holds in memory
// (besides the last 64 KiB, where the end records are looked for): 16 MiB, 4 MiB in a 32-bit
// process. A package with a larger one is unpacked after the download.
std::uint64_t TailBound();
// Replaces the bound (tests); 0 restores the platform's.
void SetTailBound(std::uint64_t bytes);

class UnpackStage final : public PackageWatcher {
  public:
    explicit UnpackStage(const SetupSelection& selection);
    // Stops the thread (a waiting read fails) and removes the staging folder.
    ~UnpackStage() override;
    UnpackStage(const UnpackStage&) = delete;
    UnpackStage& operator=(const UnpackStage&) = delete;

    void Started(std::uint64_t keptBytes) override;
    void Verified(std::uint64_t bytes) override;
    void Ended() override;

    // The download started the stage (not when the file was already complete).
    bool Active() const { return mRunner != nullptr; }
    // After the download: waits for the stage's thread, then decides whether its members may be
    // used. False with the reason (for the log) when not; the staging folder is then gone.
    bool Conclude(const ReadOnlyFile& package, std::string& why);
    // The folder in which the extraction folder is built before it is moved into place.
    const std::u16string& TreeFolder() const { return mTree; }
    // Moves the staged file of a member whose digest was checked to relative in the tree folder;
    // false when there is none (a later entry of the same digest gets none) or it cannot be moved.
    bool PlaceStagedMember(const std::string& digest, const std::u16string& relative);
    // Moves the tree folder into place as folderName in the destination (one rename).
    bool MoveTreeTo(const std::u16string& folderName);
    // Removes the staging folder with whatever it still holds.
    void Discard();

    // The libzip source's reads (called on the stage's thread by libzip).
    zip_int64_t ReadPackage(std::uint64_t offset, void* out, std::uint64_t length);
    std::uint64_t PackageSize() const { return mSelection.filesize; }

  private:
    void Run();
    std::string Unpack();
    std::string FetchTail();
    std::string PlanAndStage(zip_t* archive);
    bool Interrupted();
    bool TailMatches(const ReadOnlyFile& package) const;

    const SetupSelection mSelection;
    const std::u16string mStagingName;  // the staging folder's name in the destination
    const std::u16string mStaging;
    const std::u16string mMembers;
    const std::u16string mTree;

    std::unique_ptr<ReadOnlyFile> mFile;  // the release file, read-only (Started)
    std::string mTail;                    // the package's bytes from mTailStart to its end
    std::uint64_t mTailStart = 0;
    std::string mTailFailure;  // why the end could not be used, empty when it can

    mutable std::mutex mMutex;
    std::condition_variable mWake;  // more verified bytes, the download's end, or stop
    std::uint64_t mVerified = 0;
    bool mEnded = false;
    bool mStopping = false;
    std::set<std::string> mStaged;  // digests whose files are in the staging folder
    std::string mWhy;               // why the stage could not follow the package

    std::unique_ptr<OrderedHandOff<int>> mRunner;  // the stage's thread (one job)
};
