#include "download/block_fetcher.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/message_pump.h"
#include "core/setup_log.h"

namespace {
// Requests at most for one piece that is completed from where it broke off.
constexpr int kMaxPieceRequests = 15;
// The rates are measured over the latest window of this length during which the same connections
// delivered. A delivering connection counts as proven; the connections are taken to share a
// bottleneck (the line or the server) once they receive, each while a body flows to it, at less
// than this share of the best such rate, and then more would only split it further. That rate
// leaves out the round trip between a connection's requests, which a rate over the whole window
// would count as sharing.
constexpr std::uint64_t kWindowMs = 80;
constexpr double kUnsharedShare = 0.8;
// A connection the pool started with that is refused before the count ever grew waits this long
// and tries again, once: the server may still count the launch's own connection, closed just
// before the pool opened (it sees that close half a round trip later, and a slow proxy later
// still), and a server that allows two connections must still get two.
constexpr std::uint64_t kStartRefusalWaitMs = 500;
// How long the receiver waits for a block before it pumps messages again.
constexpr auto kPumpInterval = std::chrono::milliseconds(25);
constexpr std::uint32_t kPumpBudget = 10;

std::mutex gLimitsMutex;
DownloadConnections gLimits;
}  // namespace

DownloadConnections DownloadConnectionLimits() {
    std::lock_guard lock(gLimitsMutex);
    return gLimits;
}

void SetDownloadConnectionLimits(DownloadConnections limits) {
    limits.max = std::max<std::size_t>(limits.max, 1);
    limits.start = std::clamp<std::size_t>(limits.start, 1, limits.max);
    std::lock_guard lock(gLimitsMutex);
    gLimits = limits;
}

std::size_t NextConnectionCount(const ConnectionMeasure& measure, std::size_t cap,
                                std::uint64_t piecesWaiting) {
    const std::size_t connections = measure.connections;
    if (connections >= cap || piecesWaiting <= connections) return connections;
    const std::size_t delivering = std::min(measure.delivering, connections);
    const std::size_t opening = connections - delivering;
    if (delivering == 0 || opening >= delivering) return connections;
    if (measure.flowingRate < measure.bestFlowingRate * kUnsharedShare) return connections;
    const std::uint64_t next =
        std::min<std::uint64_t>({connections + (delivering - opening), cap, piecesWaiting});
    return static_cast<std::size_t>(next);
}

BlockFetcher::BlockFetcher(ReleaseObject object, bool completeShortPieces)
    : mObject(std::move(object)),
      mCompleteShort(completeShortPieces),
      mLimits(DownloadConnectionLimits()),
      mStartTick(TickCount64()),
      mStartRetriesLeft(mLimits.start) {
    // The receiving thread's own connection (from the digest list) would sit idle beside the
    // pool's and count against a server that allows a client only so many.
    if (Parallel()) ReleaseIdleConnections();
    mPool.SetConnections(mLimits.start);
}

BlockFetcher::~BlockFetcher() {
    // Running pieces end at their next read; the pool's destructor drops the rest and joins.
    mCancel = true;
}

void BlockFetcher::Fetch(std::uint64_t block, std::uint64_t first, std::uint64_t length,
                         std::string buffer, std::uint64_t delayMs, bool urgent) {
    std::uint64_t pieces = 1;
    if (Parallel() && length > kPieceSize) pieces = (length + kPieceSize - 1) / kPieceSize;
    const std::uint64_t pieceLength = (length + pieces - 1) / pieces;

    auto entry = std::make_unique<Block>();
    buffer.resize(static_cast<std::size_t>(length));
    entry->data = std::move(buffer);
    entry->shortAt = length;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> cuts;  // offset, length
    for (std::uint64_t offset = 0; offset < length; offset += pieceLength)
        cuts.emplace_back(offset, std::min(pieceLength, length - offset));
    entry->piecesLeft = cuts.size();
    {
        std::lock_guard lock(mMutex);
        mBlocks[block] = std::move(entry);
        mQueuedBytes += length;
        mPiecesWaiting += cuts.size();
    }
    if (cuts.empty()) {
        mDone.notify_all();
        return;
    }

    const auto postAll = [this, block, first, cuts, urgent] {
        // Urgent pieces go to the front one by one: the last first, so they leave in order.
        if (urgent) {
            for (auto cut = cuts.rbegin(); cut != cuts.rend(); ++cut)
                PostPiece(Piece{block, first, cut->first, cut->second}, true);
        } else {
            for (const auto& [offset, size] : cuts)
                PostPiece(Piece{block, first, offset, size}, false);
        }
    };
    if (delayMs == 0) {
        postAll();
        return;
    }
    // The wait holds one connection, not the receiver or the other blocks.
    mPool.Post(
        [this, delayMs, postAll] {
            SleepMilliseconds(delayMs);
            if (!mCancel) postAll();
        },
        urgent);
}

void BlockFetcher::PostPiece(const Piece& piece, bool urgent) {
    mPool.Post([this, piece] { RunPiece(piece); }, urgent);
}

// After a refused or reset connection: while other connections remain, this one ends and the piece
// goes to them. The last connection tries again only while the server has been delivering
// (a piece arrived since this piece's previous refusal), as when a server that allows a client
// only so many connections has not yet seen the end of one; a server that refuses everything
// fails the download, as a single request would (after the one wait of kStartRefusalWaitMs). A
// download over one connection keeps the rule of a single request.
bool BlockFetcher::MayTryAgain(const Piece& piece) {
    if (!Parallel() || piece.refusals >= kMaxPieceRequests) return false;
    const bool leaving = mPool.LeaveIfNotLast();
    std::lock_guard lock(mMutex);
    mFrozen = true;
    return leaving || mPiecesCompleted > piece.completedBefore;
}

bool BlockFetcher::TakeStartRetry() {
    if (!Parallel()) return false;
    std::lock_guard lock(mMutex);
    if (mGrew || mStartRetriesLeft == 0) return false;
    --mStartRetriesLeft;
    mFrozen = true;  // a connection was refused: the count no longer grows
    return true;
}

void BlockFetcher::RunPiece(Piece piece) {
    const std::uint64_t block = piece.block;
    const std::uint64_t first = piece.first;
    const std::uint64_t offset = piece.offset;
    const std::uint64_t length = piece.length;
    char* out = nullptr;
    {
        std::lock_guard lock(mMutex);
        out = mBlocks.at(block)->data.data() + offset;
    }
    const std::uint64_t last = first + offset + length - 1;
    ReceiveMeter& meter = ConnectionMeter();
    std::size_t done = 0;
    bool ok = true;
    for (int requests = 1;; ++requests) {
        std::size_t got = 0;
        HttpOutcome outcome;
        ok = FetchPiece(mObject, first + offset + done, last, out + done,
                        static_cast<std::size_t>(length - done), got, mCancel, meter, &outcome);
        done += got;
        if (!ok && !mCancel && outcome.connectionFailed) {
            const bool wait = TakeStartRetry();
            if (wait || MayTryAgain(piece)) {
                LOG_RECORD(wait ? "a connection of the download was refused; trying it again in " +
                                      std::to_string(kStartRefusalWaitMs) + " ms"
                                : "a connection of the download was refused; going on with " +
                                      std::to_string(mPool.Connections()));
                ++piece.refusals;
                {
                    std::lock_guard lock(mMutex);
                    piece.completedBefore = mPiecesCompleted;
                }
                // A wait holds this connection only; the piece then goes to the first one free.
                if (wait) SleepMilliseconds(kStartRefusalWaitMs);
                if (!mCancel) PostPiece(piece, true);
                return;
            }
        }
        if (!ok || done == length || !mCompleteShort) break;
        if (requests == kMaxPieceRequests) {
            ok = false;
            break;
        }
    }

    {
        std::lock_guard lock(mMutex);
        Block& entry = *mBlocks.at(block);
        --entry.piecesLeft;
        --mPiecesWaiting;
        if (ok) ++mPiecesCompleted;
        if (!ok) entry.failed = true;
        if (done < length) entry.shortAt = std::min(entry.shortAt, offset + done);
    }
    mDone.notify_all();
}

std::optional<std::string> BlockFetcher::Take(std::uint64_t block) {
    std::unique_lock lock(mMutex);
    const auto entry = mBlocks.find(block);
    if (entry == mBlocks.end()) return std::nullopt;
    Block& wanted = *entry->second;
    while (!mDone.wait_for(lock, kPumpInterval, [&wanted] { return wanted.piecesLeft == 0; })) {
        lock.unlock();
        PumpMessages(kPumpBudget);
        Adapt();
        lock.lock();
    }
    std::unique_ptr<Block> taken = std::move(entry->second);
    mBlocks.erase(entry);
    mQueuedBytes -= taken->data.size();
    lock.unlock();
    Adapt();
    if (taken->failed) return std::nullopt;
    taken->data.resize(static_cast<std::size_t>(taken->shortAt));
    return std::move(taken->data);
}

std::uint64_t BlockFetcher::BytesQueued() const {
    std::lock_guard lock(mMutex);
    return mQueuedBytes;
}

bool BlockFetcher::Queued(std::uint64_t block) const {
    std::lock_guard lock(mMutex);
    return mBlocks.count(block) != 0;
}

ReceiveMeter& BlockFetcher::ConnectionMeter() {
    std::lock_guard lock(mMutex);
    auto& meter = mMeters[std::this_thread::get_id()];
    if (!meter) meter = std::make_unique<ReceiveMeter>();
    return *meter;
}

void BlockFetcher::Adapt() {
    if (!Parallel()) return;
    Sample sample;
    sample.tick = TickCount64();
    std::size_t delivering = 0;
    std::uint64_t waiting = 0;
    {
        std::lock_guard lock(mMutex);
        if (mFrozen) return;
        for (const auto& [thread, meter] : mMeters) {
            const std::uint64_t got = meter->bytes.load(std::memory_order_relaxed);
            sample.bytes += got;
            sample.flowingBytes += meter->flowingBytes.load(std::memory_order_relaxed);
            sample.flowingMs += meter->flowingMs.load(std::memory_order_relaxed);
            if (got != 0) ++delivering;
        }
        waiting = mPiecesWaiting;
    }
    // A connection that began delivering within the window has not shown its rate yet: the
    // window starts again.
    if (delivering != mDelivering) {
        mDelivering = delivering;
        mSamples.clear();
    }
    const std::uint64_t now = sample.tick;
    mSamples.push_back(sample);
    while (mSamples.size() > 1 && mSamples[1].tick + kWindowMs <= now) mSamples.pop_front();
    const Sample& start = mSamples.front();
    const std::uint64_t flowingMs = sample.flowingMs - start.flowingMs;
    if (delivering == 0 || now < start.tick + kWindowMs || flowingMs == 0) return;

    ConnectionMeasure measure;
    measure.connections = mPool.Connections();
    measure.delivering = delivering;
    measure.rate = static_cast<double>(sample.bytes - start.bytes) * 1000.0 /
                   static_cast<double>(now - start.tick);
    measure.flowingRate = static_cast<double>(sample.flowingBytes - start.flowingBytes) * 1000.0 /
                          static_cast<double>(flowingMs);
    measure.bestFlowingRate = mBestFlowingRate;
    const std::size_t next = NextConnectionCount(measure, mLimits.max, waiting);
    if (next == measure.connections) return;
    mBestFlowingRate = std::max(mBestFlowingRate, measure.flowingRate);
    {
        std::lock_guard lock(mMutex);
        if (mFrozen) return;  // a connection was refused meanwhile
        mGrew = true;
    }
    mPool.SetConnections(next);
    char figures[96];
    std::snprintf(figures, sizeof figures, " (after %llu ms, at %.1f MB/s over %zu)",
                  static_cast<unsigned long long>(now - mStartTick), measure.rate / 1e6,
                  delivering);
    LOG_RECORD("download connections: " + std::to_string(next) + figures);
}
