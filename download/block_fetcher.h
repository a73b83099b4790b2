#pragma once
// Several range requests in flight for the blocks (or chunks) of a release file. Each block is
// fetched as one range, or as several pieces into the one block buffer when it is larger than a
// piece and more than one connection may be used; the pieces go out in file order over a pool of
// connections (download/connection count below). The receiving thread takes the blocks back in
// the order it wants them, pumping messages while it waits.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "download/range_fetch.h"
#include "net/connection_pool.h"

// The largest range one request asks for when a block is split over several connections.
inline constexpr std::uint64_t kPieceSize = 8ull * 1024 * 1024;
// How many connections a download starts with and how many it may grow to. max 1: one block after
// another over one connection, each block in one range, as a download without the pool.
struct DownloadConnections {
    std::size_t start = 2;
    std::size_t max = 8;
};
// The downloads of this process; tests and the bench set them.
DownloadConnections DownloadConnectionLimits();
void SetDownloadConnectionLimits(DownloadConnections limits);

// The connection count's next step after one measuring window: connections in use, the rate of
// this window and of the window before the last step (0: none yet), the cap, and the pieces
// still waiting. One more while the rate has grown by a useful margin since the last step, never
// beyond the cap or the pieces that wait for a connection.
std::size_t NextConnectionCount(std::size_t connections, double rate, double previousRate,
                                std::size_t cap, std::uint64_t piecesWaiting);

class BlockFetcher {
  public:
    // completeShortPieces: a piece cut off while its body was read is asked for again from where
    // it broke off (up to the request limit), as image chunks are; otherwise the block is handed
    // back short, for its digest check to refuse.
    BlockFetcher(ReleaseObject object, bool completeShortPieces);
    ~BlockFetcher();
    BlockFetcher(const BlockFetcher&) = delete;
    BlockFetcher& operator=(const BlockFetcher&) = delete;

    // Whether blocks are fetched ahead of the one the receiver waits for.
    bool Parallel() const { return mLimits.max > 1; }

    // Queues block `block` (bytes first..first+length-1) into buffer. delayMs: a wait before its
    // first request, which holds up only this block; urgent: ahead of every queued block.
    void Fetch(std::uint64_t block, std::uint64_t first, std::uint64_t length, std::string buffer,
               std::uint64_t delayMs = 0, bool urgent = false);
    // Waits for the block and hands it over: its bytes (fewer when the body was cut off), or
    // nullopt when a request failed.
    std::optional<std::string> Take(std::uint64_t block);
    // Bytes of blocks queued and not yet taken.
    std::uint64_t BytesQueued() const;
    // Whether the block is queued (and not yet taken).
    bool Queued(std::uint64_t block) const;

  private:
    struct Block {
        std::string data;
        std::size_t piecesLeft = 0;
        std::uint64_t shortAt = 0;  // bytes before the first gap: data.size() when complete
        bool failed = false;
    };
    // A piece to fetch; refusals: how often its connection was refused or reset so far, and
    // completedBefore the pieces finished at the last of those times.
    struct Piece {
        std::uint64_t block = 0;
        std::uint64_t first = 0;  // the block's first byte in the file
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        int refusals = 0;
        std::uint64_t completedBefore = 0;
    };
    void PostPiece(const Piece& piece, bool urgent);
    void RunPiece(Piece piece);
    bool MayTryAgain(const Piece& piece);
    void Adapt();

    const ReleaseObject mObject;
    const bool mCompleteShort;
    const DownloadConnections mLimits;
    std::atomic<bool> mCancel{false};
    std::atomic<std::uint64_t> mReceived{0};  // body bytes arrived, for the rate

    mutable std::mutex mMutex;
    std::condition_variable mDone;
    std::map<std::uint64_t, std::unique_ptr<Block>> mBlocks;
    std::uint64_t mQueuedBytes = 0;
    std::uint64_t mPiecesWaiting = 0;    // pieces posted and not finished
    std::uint64_t mPiecesCompleted = 0;  // pieces that arrived

    // The receiver's measuring window for the connection count.
    // (tick, bytes arrived) at each look of the receiver over the last window: the rate is always
    // that of the latest whole window, so a step follows as soon as the last one shows its gain.
    std::deque<std::pair<std::uint64_t, std::uint64_t>> mSamples;
    std::uint64_t mLastStep = 0;  // tick of the last step
    double mPreviousRate = 0;
    bool mFrozen = false;  // a connection was refused: the count no longer grows

    // Last: its threads run pieces that use everything above, and are joined first.
    ConnectionPool mPool;
};
