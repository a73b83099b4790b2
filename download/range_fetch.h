#pragma once
// One range request for a piece of the release file, read straight into the piece's buffer.
#include <cstdint>
#include <string>

#include "net/blob_store.h"

// A release file in the blob store.
struct ReleaseObject {
    BlobStore store;
    std::string container;
    std::string name;
};

// Appends the bytes first..last (inclusive) of the object to out. out never
// grows beyond capacity bytes: a body that would take it further fails the exchange. True when the
// transfer succeeded; the body may be shorter than asked when the connection broke while it was
// read, which the caller checks.
bool FetchRange(const ReleaseObject& object, std::uint64_t first, std::uint64_t last,
                std::string& out, std::uint64_t capacity);
