#include "download/download_worker.h"

#include <algorithm>
#include <exception>
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
// Buffers of written blocks kept for the next ones.
constexpr std::size_t kMaxSpares = 2;
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
      mChecker([this] { RunChecks(); }),
      mWriter([this] { RunWrites(); }) {}

DownloadWorker::~DownloadWorker() {
    Stop();
}

void DownloadWorker::Stop() {
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mCheckWake.notify_all();
    if (mChecker.joinable()) {
        mChecker.join();
    }
    // The checks have ended: the writer finishes what they passed on, then ends too.
    if (mWriter.joinable()) {
        mWriter.join();
    }
}

void DownloadWorker::HashKept(std::string piece) {
    std::unique_lock lock(mMutex);
    mReceiverWake.wait(lock, [this] { return mHeld < mHandOffLimit; });
    mJobs.push_back(Job{JobKind::Kept, 0, std::move(piece), nullptr});
    ++mHeld;
    mCheckWake.notify_one();
}

void DownloadWorker::ForgetKept() {
    std::unique_lock lock(mMutex);
    mJobs.push_back(Job{JobKind::Forget, 0, {}, nullptr});
    ++mHeld;
    mCheckWake.notify_one();
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
    std::unique_lock lock(mMutex);
    mReceiverWake.wait(lock, [this] { return mFailed || mHeld < mHandOffLimit; });
    if (mFailed) {
        return;
    }
    mJobs.push_back(Job{JobKind::Block, block, std::move(data), expected});
    ++mHeld;
    ++mUnjudged;
    mCheckWake.notify_one();
    if (mHandOffLimit == 1) {
        // One block at a time: it is finished before the next one is received.
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
    std::lock_guard lock(mMutex);
    if (mSpares.empty()) {
        return {};
    }
    std::string spare = std::move(mSpares.back());
    mSpares.pop_back();
    spare.clear();
    return spare;
}

std::string DownloadWorker::Finish() {
    {
        std::unique_lock lock(mMutex);
        mReceiverWake.wait(lock, [this] { return mFailed || mHeld == 0; });
    }
    Stop();
    if (mFailed) {
        return {};
    }
    return mFileDigest->Finish(true);
}

void DownloadWorker::FailLocked() {
    // Nothing after the failed block may reach the file: every waiting job is dropped.
    mFailed = true;
    for (const Job& job : mJobs) {
        --mHeld;
        if (job.kind == JobKind::Block) {
            --mUnjudged;
        }
    }
    mHeld -= mWrites.size();
    mJobs.clear();
    mWrites.clear();
}

// Out of memory outside a job (for a verdict or a queue's slot): the download ends as after a
// failed write, and the receiver waits for nothing more.
void DownloadWorker::AbandonLocked() {
    FailLocked();
    mHeld = 0;
    mUnjudged = 0;
    mChecksEnded = true;
}

void DownloadWorker::RunChecks() {
    try {
        CheckJobs();
    } catch (const std::exception&) {
        std::lock_guard lock(mMutex);
        AbandonLocked();
    }
    mReceiverWake.notify_all();
    mWriteWake.notify_all();
}

void DownloadWorker::RunWrites() {
    try {
        WriteJobs();
    } catch (const std::exception&) {
        std::lock_guard lock(mMutex);
        AbandonLocked();
    }
    mReceiverWake.notify_all();
}

void DownloadWorker::CheckJobs() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mMutex);
            // The next job: kept pieces in order, blocks in block order. A block that comes
            // before an earlier one (fetched again after a mismatch) waits for it.
            auto next = mJobs.end();
            mCheckWake.wait(lock, [this, &next] {
                next = std::find_if(mJobs.begin(), mJobs.end(), [this](const Job& candidate) {
                    return candidate.kind != JobKind::Block || candidate.block == mNextBlock;
                });
                return mStopping || next != mJobs.end();
            });
            // Stopping (a failure on the receiving side) still finishes the blocks that can be
            // written: every good block received before the failure reaches the file.
            if (next == mJobs.end()) {
                mChecksEnded = true;
                return;
            }
            job = std::move(*next);
            mJobs.erase(next);
        }

        bool match = true;
        bool failed = false;
        if (job.kind == JobKind::Block) {
            try {
                match = job.expected == nullptr || Md5Hex(job.data) == *job.expected;
            } catch (const std::exception&) {
                failed = true;  // out of memory: ends the download as a failed write would
            }
        }

        {
            std::lock_guard lock(mMutex);
            if (job.kind == JobKind::Block) {
                --mUnjudged;
                if (!failed) {
                    // The verdict goes out before the write: the receiver may go on meanwhile.
                    mVerdicts.push_back(BlockVerdict{job.block, match,
                                                     match ? std::string() : std::move(job.data)});
                    if (match) {
                        ++mNextBlock;
                    }
                }
            }
            if (failed) {
                --mHeld;
                FailLocked();
            } else if (match && !mFailed) {
                mWrites.push_back(std::move(job));
                mWriteWake.notify_one();
            } else {
                --mHeld;
            }
        }
        mReceiverWake.notify_all();
    }
}

void DownloadWorker::WriteJobs() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mMutex);
            mWriteWake.wait(lock, [this] { return mChecksEnded || !mWrites.empty(); });
            if (mWrites.empty()) {
                return;
            }
            job = std::move(mWrites.front());
            mWrites.pop_front();
        }

        bool written = false;
        try {
            written = WriteJob(job);
        } catch (const std::exception&) {
            written = false;  // out of memory: ends the download as a failed write would
        }
        if (written && job.kind == JobKind::Block && mWatcher != nullptr) {
            // The block went to the operating system unbuffered: other readers of the file see it.
            mVerifiedBytes += job.data.size();
            mWatcher->Verified(mVerifiedBytes);
        }

        {
            std::lock_guard lock(mMutex);
            --mHeld;
            if (!written) {
                FailLocked();
            } else if (job.kind == JobKind::Block && mSpares.size() < kMaxSpares) {
                mSpares.push_back(std::move(job.data));
            }
        }
        mReceiverWake.notify_all();
    }
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
