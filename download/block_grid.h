#pragma once
// The geometry of a release file as the downloads see it: the verified blocks of an archive and the
// fixed chunks of a disc image. Small value types, computed in unsigned 64-bit arithmetic.
#include <cstdint>

// An archive of fileSize bytes cut into blocks of blockSize bytes; the last block may be shorter.
// A block size of 0 gives no grid (Valid() is false) and every count is 0.
struct BlockGrid {
    std::uint64_t fileSize = 0;
    std::uint64_t blockSize = 0;

    constexpr bool Valid() const { return blockSize != 0 || fileSize == 0; }

    // ceil(fileSize / blockSize).
    constexpr std::uint64_t Count() const {
        if (blockSize == 0) {
            return 0;
        }
        return fileSize / blockSize + (fileSize % blockSize != 0 ? 1 : 0);
    }
    // First byte of block k.
    constexpr std::uint64_t First(std::uint64_t k) const { return k * blockSize; }
    // Last byte asked for when fetching block k (inclusive). The store delivers only the bytes that
    // exist, so the last block may arrive shorter than this range.
    constexpr std::uint64_t Last(std::uint64_t k) const { return First(k) + blockSize - 1; }
    // Whole blocks in a local file of the given length, and the length they cover.
    constexpr std::uint64_t WholeBlocks(std::uint64_t length) const {
        return blockSize == 0 ? 0 : length / blockSize;
    }
    constexpr std::uint64_t AlignedLength(std::uint64_t length) const {
        return WholeBlocks(length) * blockSize;
    }
};

// A disc image of fileSize bytes cut into chunks of chunkSize bytes; the last chunk takes the
// remainder, so it is between one and just under two chunk sizes long (or the whole file when
// that is smaller than one chunk).
struct ChunkGrid {
    std::uint64_t fileSize = 0;
    std::uint64_t chunkSize = 0;

    constexpr std::uint64_t Count() const {
        if (chunkSize == 0 || fileSize == 0) {
            return 0;
        }
        std::uint64_t n = fileSize / chunkSize;
        return n == 0 ? 1 : n;
    }
    constexpr std::uint64_t First(std::uint64_t i) const { return i * chunkSize; }
    constexpr std::uint64_t Length(std::uint64_t i) const {
        return i + 1 == Count() ? fileSize - First(i) : chunkSize;
    }
    // Last byte of chunk i (inclusive).
    constexpr std::uint64_t Last(std::uint64_t i) const { return First(i) + Length(i) - 1; }
};
