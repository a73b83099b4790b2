#include "download/download_worker.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include "download/download_target.h"
#include "download/package_watcher.h"

namespace {
constexpr std::uint64_t MiB = 1048576;
// Largest piece that is received while earlier ones are checked and written. A 32-bit process has
// about 2 GiB of address space for everything: three pieces of 20 MiB stay well inside it.
constexpr std::uint64_t kMaxOverlapPiece = sizeof(void*) < 8 ? 20 * MiB : 64 * MiB;
// Blocks handed off at most: one in work, one waiting.
constexpr std::size_t kHandOffBlocks = 2;
// A verified block is hashed into the file's digest and written in slices of this size: each
// slice is still in the processor's cache when it is copied to the file.
constexpr std::size_t kWriteSlice = 256 * 1024;
}  // namespace

bool OverlapsBlocksOf(std::uint64_t pieceLength) {
    return pieceLength <= kMaxOverlapPiece;
}

std::uint64_t ReceiveAheadBytes() {
    return sizeof(void*) < 8 ? 40 * MiB : 64 * MiB;
}

DownloadWorker::DownloadWorker(DownloadStream& stream, bool overlap)
    : mStream(stream),
      mHandOffLimit(overlap ? kHandOffBlocks : 1),
      mFileDigest(std::make_unique<HashContext>("SHA256", std::string_view())),
      mWrites(kHandOffBlocks, [this](Job& job) { Write(job); }),
      // One more than the blocks: ForgetKept does not wait for room.
      mChecks(kHandOffBlocks + 1, [this](Job& job) { Check(job); }) {}

DownloadWorker::~DownloadWorker() {
    Stop();
}

void DownloadWorker::Stop() {
    // Stopping (a failure on the receiving side) still finishes the blocks that can be written:
    // every good block received before the failure reaches the file. A block that waits for an
    // earlier one is dropped.
    mChecks.Drain();
    mWrites.Drain();
    mParked.clear();
}

void DownloadWorker::HashKept(std::string piece) {
    {
        std::unique_lock lock(mMutex);
        mReceiverWake.wait(lock, [this] { return mHeld < mHandOffLimit; });
        ++mHeld;
    }
    mChecks.Push(Job{JobKind::Kept, 0, std::move(piece), nullptr});
}

void DownloadWorker::ForgetKept() {
    {
        std::lock_guard lock(mMutex);
        ++mHeld;
    }
    mChecks.Push(Job{JobKind::Forget, 0, {}, nullptr});
}

void DownloadWorker::Watch(PackageWatcher* watcher, std::uint64_t verifiedBytes) {
    std::lock_guard lock(mMutex);
    mWatcher = watcher;
    mVerifiedBytes = verifiedBytes;
}

void DownloadWorker::Begin(std::uint64_t firstBlock) {
    std::lock_guard lock(mMutex);
    mNextBlock = firstBlock;
}

void DownloadWorker::Submit(std::uint64_t block, std::string data, const std::string* expected) {
    {
        std::unique_lock lock(mMutex);
        mReceiverWake.wait(lock, [this] { return mFailed || mHeld < mHandOffLimit; });
        if (mFailed) {
            return;
        }
        ++mHeld;
        ++mUnjudged;
    }
    mChecks.Push(Job{JobKind::Block, block, std::move(data), expected});
    if (mHandOffLimit == 1) {
        // One block at a time: it is finished before the next one is received.
        std::unique_lock lock(mMutex);
        mReceiverWake.wait(lock, [this] { return mFailed || mHeld == 0; });
    }
}

std::vector<BlockVerdict> DownloadWorker::Verdicts(std::size_t unjudged) {
    std::unique_lock lock(mMutex);
    // A mismatch ends the wait at once: the blocks after it are judged only once it is fetched
    // again.
    mReceiverWake.wait(lock, [this, unjudged] {
        return mFailed || mUnjudged <= unjudged ||
               std::any_of(mVerdicts.begin(), mVerdicts.end(),
                           [](const BlockVerdict& verdict) { return !verdict.match; });
    });
    return std::exchange(mVerdicts, {});
}

bool DownloadWorker::WriteFailed() {
    std::lock_guard lock(mMutex);
    return mFailed;
}

std::string DownloadWorker::SpareBuffer() {
    std::optional<Job> spare = mWrites.TakeSpare();
    if (!spare) {
        return {};
    }
    std::string buffer = std::move(spare->data);
    buffer.clear();
    return buffer;
}

std::string DownloadWorker::Finish() {
    {
        std::unique_lock lock(mMutex);
        mReceiverWake.wait(lock, [this] { return mFailed || mHeld == 0; });
    }
    Stop();
    if (WriteFailed()) {
        return {};
    }
    return mFileDigest->Finish(true);
}

void DownloadWorker::FailLocked() {
    // Nothing after the failed block may reach the file: every job still on its way is dropped
    // when its turn comes, and nobody waits for one any more.
    mFailed = true;
}

void DownloadWorker::Check(Job& job) {
    try {
        if (job.kind != JobKind::Block) {
            // Kept pieces and the restart of the file's digest pass on in order.
            bool failed = false;
            {
                std::lock_guard lock(mMutex);
                failed = mFailed;
                if (failed) {
                    --mHeld;
                }
            }
            if (failed) {
                mReceiverWake.notify_all();
            } else {
                mWrites.Push(std::move(job));
            }
            return;
        }
        std::uint64_t next = 0;
        {
            std::lock_guard lock(mMutex);
            next = mNextBlock;
        }
        if (job.block != next) {
            // It came before an earlier block that is fetched again: it waits for that one.
            mParked.insert_or_assign(job.block, std::move(job));
            return;
        }
        CheckBlock(job);
        for (;;) {
            {
                std::lock_guard lock(mMutex);
                next = mNextBlock;
            }
            const auto parked = mParked.find(next);
            if (parked == mParked.end()) {
                return;
            }
            Job waiting = std::move(parked->second);
            mParked.erase(parked);
            CheckBlock(waiting);
        }
    } catch (const std::exception&) {
        // Out of memory outside a block's check: the download ends as after a failed write.
        {
            std::lock_guard lock(mMutex);
            FailLocked();
        }
        mReceiverWake.notify_all();
    }
}

void DownloadWorker::CheckBlock(Job& job) {
    {
        // After a failure nothing more is judged or written.
        std::lock_guard lock(mMutex);
        if (mFailed) {
            --mUnjudged;
            --mHeld;
            return;
        }
    }
    bool match = true;
    bool failed = false;
    try {
        match = job.expected == nullptr || Md5Hex(job.data) == *job.expected;
    } catch (const std::exception&) {
        failed = true;  // out of memory: ends the download as a failed write would
    }
    bool passOn = false;
    {
        std::lock_guard lock(mMutex);
        --mUnjudged;
        if (!failed) {
            // The verdict goes out before the write: the receiver may go on meanwhile.
            mVerdicts.push_back(
                BlockVerdict{job.block, match, match ? std::string() : std::move(job.data)});
            if (match) {
                ++mNextBlock;
            }
        }
        if (failed) {
            --mHeld;
            FailLocked();
        } else if (match && !mFailed) {
            passOn = true;
        } else {
            --mHeld;
        }
    }
    mReceiverWake.notify_all();
    if (passOn) {
        mWrites.Push(std::move(job));
    }
}

void DownloadWorker::Write(Job& job) {
    bool skip = false;
    {
        std::lock_guard lock(mMutex);
        skip = mFailed;
    }
    bool written = false;
    if (!skip) {
        try {
            written = WriteJob(job);
            if (written && job.kind == JobKind::Block && mWatcher != nullptr) {
                // The block went to the operating system unbuffered: other readers of the file see
                // it.
                mVerifiedBytes += job.data.size();
                mWatcher->Verified(mVerifiedBytes);
            }
        } catch (const std::exception&) {
            written = false;  // out of memory: ends the download as a failed write would
        }
    }
    {
        std::lock_guard lock(mMutex);
        --mHeld;
        if (!skip && !written) {
            FailLocked();
        }
    }
    mReceiverWake.notify_all();
}

bool DownloadWorker::WriteJob(const Job& job) {
    switch (job.kind) {
        case JobKind::Kept:
            mFileDigest->Update(job.data.data(), job.data.size());
            return true;
        case JobKind::Forget:
            mFileDigest = std::make_unique<HashContext>("SHA256", std::string_view());
            return true;
        case JobKind::Block:
            break;
    }
    const std::string_view bytes(job.data);
    for (std::size_t at = 0; at < bytes.size(); at += kWriteSlice) {
        const std::string_view slice = bytes.substr(at, kWriteSlice);
        mFileDigest->Update(slice.data(), slice.size());
        if (!mStream.Write(slice)) {
            return false;
        }
    }
    return true;
}
