#pragma once
// The block digest list of an "arc" release: how large its body may be, and how it is read.
//
// The most bytes a block digest list may hold. The list is a JSON array of one 32-character MD5
// text per block, 35 bytes an entry when written compactly; 64 bytes an entry leave room for any
// layout, and 4 KiB for the brackets and white space around them. A longer body is no digest list
// of this release: the transfer's attempt fails like any other.
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint64_t kDigestListBytesPerEntry = 64;
inline constexpr std::uint64_t kDigestListSlack = 4096;

constexpr std::uint64_t DigestListBound(std::uint64_t entries) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    if (entries > (kMax - kDigestListSlack) / kDigestListBytesPerEntry) return kMax;
    return entries * kDigestListBytesPerEntry + kDigestListSlack;
}

// Appends the digests of a list text (a JSON array of texts; an element of another type reads as
// the empty text) to digests; false, leaving digests as they were, when the text is no array.
bool ParseBlockDigests(std::string_view text, std::vector<std::string>& digests);
