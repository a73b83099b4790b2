#pragma once
// The workers of one download, two threads in a row: the first checks each received block against
// its MD5, the second feeds the verified bytes in file order into the release file's SHA-256 and
// writes them, while the UI thread already receives the next block. The second also hashes the
// kept part of a resumed file, so that the finished file never has to be read again.
//
// Each thread is an OrderedHandOff. The two together hold at most two blocks (one being checked,
// one being written, or waiting); with blocks too large for that (see OverlapsBlocksOf) every block
// is finished before the next one is received. The threads live exactly as long as the object: the
// destructor finishes what can be finished and joins them on every path.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/hash_context.h"
#include "core/ordered_hand_off.h"

class DownloadStream;
class PackageWatcher;

// Whether pieces of this many bytes may be received while the previous ones are checked and
// written: three of them (one received, two handed off) must fit comfortably into the process's
// address space. The 32-bit program overlaps blocks of up to 20 MiB, a 64-bit build up to 64 MiB.
bool OverlapsBlocksOf(std::uint64_t pieceLength);
// Bytes of further blocks that may be on their way over the network while one block is received
// and the hand-off is full (for blocks that overlap): 64 MiB in a 64-bit build; 40 MiB in the
// 32-bit program, where at most three 20 MiB blocks are held besides.
std::uint64_t ReceiveAheadBytes();

// The outcome of one handed-off block's check.
struct BlockVerdict {
    std::uint64_t block = 0;
    bool match = true;
    std::string received;  // the bytes of a mismatching block, for the report
};

class DownloadWorker {
  public:
    // The worker writes through stream, which must outlive it and which nobody else touches
    // between the first Submit and Finish.
    DownloadWorker(DownloadStream& stream, bool overlap);
    ~DownloadWorker();
    DownloadWorker(const DownloadWorker&) = delete;
    DownloadWorker& operator=(const DownloadWorker&) = delete;

    // A piece of the kept part of an existing file: hashed in order, not written.
    void HashKept(std::string piece);
    // The kept part was thrown away: the file's digest starts again from no bytes.
    void ForgetKept();

    // From now on the watcher is told after each written block how many bytes of the file are
    // verified and written, counting on from verifiedBytes (the kept part). Before Begin.
    void Watch(PackageWatcher* watcher, std::uint64_t verifiedBytes);
    // The first block that the download writes (the end of the kept part).
    void Begin(std::uint64_t firstBlock);
    // Hands a received block over; expected is its MD5 (nullptr: written unchecked). Blocks are
    // checked and written in block order: a block waits while an earlier one is fetched again.
    // Waits while the hand-off is full; without overlap it returns once the block is finished.
    void Submit(std::uint64_t block, std::string data, const std::string* expected);
    // The verdicts reached since the last call, in the order they were reached. Waits until at
    // most `unjudged` handed-off blocks are still without one, a block mismatched, or a write
    // failed.
    std::vector<BlockVerdict> Verdicts(std::size_t unjudged);
    // A write failed: the file holds every block before the failed one.
    bool WriteFailed();
    // An empty buffer for the next block, reusing the memory of a written one when there is one.
    std::string SpareBuffer();

    // Waits until every handed-off block is finished and ends the thread. The lower-case hex
    // SHA-256 of the kept part and every written block; empty after a failed write.
    std::string Finish();

  private:
    enum class JobKind { Kept, Forget, Block };
    struct Job {
        JobKind kind = JobKind::Block;
        std::uint64_t block = 0;
        std::string data;
        const std::string* expected = nullptr;
    };
    // The checking thread's work: kept pieces pass on in order; a block is checked when it is the
    // next one, else it waits (parked) for the earlier one that is fetched again.
    void Check(Job& job);
    void CheckBlock(Job& job);
    // The writing thread's work, in file order.
    void Write(Job& job);
    bool WriteJob(const Job& job);
    void FailLocked();
    void Stop();

    DownloadStream& mStream;
    const std::size_t mHandOffLimit;
    std::unique_ptr<HashContext> mFileDigest;  // used by the writing thread only
    PackageWatcher* mWatcher = nullptr;  // set before the first block, then read by the writer
    std::uint64_t mVerifiedBytes = 0;    // the writer's count of verified bytes on disk
    std::map<std::uint64_t, Job>
        mParked;  // the checking thread's blocks that wait for an earlier one

    std::mutex mMutex;
    std::condition_variable mReceiverWake;  // a verdict, a finished job, or a failure
    std::size_t mHeld = 0;                  // jobs handed over and not finished or dropped
    std::size_t mUnjudged = 0;              // blocks handed over without a verdict yet
    std::uint64_t mNextBlock = 0;           // the block that is checked next
    std::vector<BlockVerdict> mVerdicts;
    bool mFailed = false;

    // Last: they start once everything above is ready; the checks feed the writes.
    OrderedHandOff<Job> mWrites;
    OrderedHandOff<Job> mChecks;
};
