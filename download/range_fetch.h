#pragma once
// One range request for a piece of the release file, read straight into the piece's buffer.
#include <cstdint>
#include <string>

// Appends the bytes first..last (inclusive) of the object on the download host to out. out never
// grows beyond capacity bytes: a body that would take it further fails the exchange. True when the
// transfer succeeded; the body may be shorter than asked when the connection broke while it was
// read, which the caller checks.
bool FetchRange(const std::u16string& object, std::uint64_t first, std::uint64_t last,
                std::string& out, std::uint64_t capacity);
