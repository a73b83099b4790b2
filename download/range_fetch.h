#pragma once
// One range request for a piece of the release file, read straight into the piece's place in its
// block buffer.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/blob_store.h"

// A release file in the blob store.
struct ReleaseObject {
    BlobStore store;
    std::string container;
    std::string name;
};

// What one connection has received: all its bytes, and apart from them the bytes that followed the
// first read of a body with the milliseconds they took. The second pair gives the connection's rate
// while it receives, without the round trip each request waits for its first byte.
struct ReceiveMeter {
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> flowingBytes{0};
    std::atomic<std::uint64_t> flowingMs{0};
};

// Reads the bytes first..last (inclusive) of the object into out, which has room for capacity
// bytes (the range's length); filled receives how many arrived. A body that would go past
// capacity fails the exchange. True when the transfer succeeded; the body may be shorter than
// asked when the connection broke while it was read, which the caller checks. A set cancel flag
// ends the transfer at its next read (false). Every byte read is counted in meter. Messages are
// not pumped: pieces are read on the threads of the connection pool.
bool FetchPiece(const ReleaseObject& object, std::uint64_t first, std::uint64_t last, char* out,
                std::size_t capacity, std::size_t& filled, const std::atomic<bool>& cancel,
                ReceiveMeter& meter, HttpOutcome* outcome = nullptr);
