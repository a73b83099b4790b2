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
#include <thread>
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

// What the receiver knows of the connections after one measuring window.
struct ConnectionMeasure {
    std::size_t connections = 0;  // in the pool
    std::size_t delivering = 0;   // of them, those that have received bytes of a piece
    double rate = 0;              // bytes per second of all of them over the latest window
    double flowingRate = 0;       // bytes per second of one connection while a body flows to it,
                                  // over the latest window
    double bestFlowingRate = 0;   // the highest flowingRate at which the count grew so far
};
// The connection count's next step: while a connection still receives about as fast as the best
// seen (the connections do not yet share a bottleneck, so more add to the total rate), as many more
// as have proven themselves by delivering, less those still opening (growth at most doubles per
// round of handshakes), never beyond the cap or the pieces that wait for a connection.
std::size_t NextConnectionCount(const ConnectionMeasure& measure, std::size_t cap,
                                std::uint64_t piecesWaiting);

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
    // Whether a refused connection of those the pool started with waits and tries again (see
    // kStartRefusalWaitMs); each of them may, once, while the count has not grown. A download
    // over one connection never waits.
    bool TakeStartRetry();
    void Adapt();
    // The meter of the calling thread's connection.
    ReceiveMeter& ConnectionMeter();

    const ReleaseObject mObject;
    const bool mCompleteShort;
    const DownloadConnections mLimits;
    const std::uint64_t mStartTick;
    std::atomic<bool> mCancel{false};

    mutable std::mutex mMutex;
    std::condition_variable mDone;
    std::map<std::uint64_t, std::unique_ptr<Block>> mBlocks;
    std::uint64_t mQueuedBytes = 0;
    std::uint64_t mPiecesWaiting = 0;    // pieces posted and not finished
    std::uint64_t mPiecesCompleted = 0;  // pieces that arrived

    // What each connection of the pool (by its thread) received, for the rates and for telling
    // connections that deliver from those still opening.
    std::map<std::thread::id, std::unique_ptr<ReceiveMeter>> mMeters;

    // The receiver's measuring window for the connection count: the meters' sums at each look of
    // the receiver since the delivering connections last changed, the oldest one kept being the
    // last at least a window old, so that the rates are those of the latest whole window.
    struct Sample {
        std::uint64_t tick = 0;
        std::uint64_t bytes = 0;
        std::uint64_t flowingBytes = 0;
        std::uint64_t flowingMs = 0;
    };
    std::deque<Sample> mSamples;
    std::size_t mDelivering = 0;
    // The best rate is taken only from windows after which the count grew: a window that comes
    // right after a burst (the bytes a connection's window lets through at once when a body
    // starts) would set it above what any connection keeps up.
    double mBestFlowingRate = 0;
    bool mFrozen = false;  // a connection was refused: the count no longer grows
    bool mGrew = false;    // the count grew beyond the start
    std::size_t mStartRetriesLeft = 0;

    // Last: its threads run pieces that use everything above, and are joined first.
    ConnectionPool mPool;
};
