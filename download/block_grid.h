#pragma once
// The geometry of a release file as the downloads see it: the verified blocks of an archive and the
// fixed chunks of a disc image. Small value types, computed in unsigned 64-bit arithmetic that
// cannot overflow for any grid that Servable() accepts.
#include <algorithm>
#include <cstdint>
#include <limits>

// The largest file whose byte offsets fit the signed 64-bit ranges of HTTP requests and files.
inline constexpr std::uint64_t kMaxServableFileSize =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// An archive of fileSize bytes cut into blocks of blockSize bytes; the last block may be shorter.
// A block size of 0 gives no grid (Valid() is false) and every count is 0.
struct BlockGrid {
    std::uint64_t fileSize = 0;
    std::uint64_t blockSize = 0;

    constexpr bool Valid() const { return blockSize != 0 || fileSize == 0; }
    // Every byte of the file can be asked for by a range request.
    constexpr bool Servable() const { return Valid() && fileSize <= kMaxServableFileSize; }

    // ceil(fileSize / blockSize).
    constexpr std::uint64_t Count() const {
        if (blockSize == 0) {
            return 0;
        }
        return fileSize / blockSize + (fileSize % blockSize != 0 ? 1 : 0);
    }
    // First byte of block k (k < Count(), so the product stays below fileSize).
    constexpr std::uint64_t First(std::uint64_t k) const { return k * blockSize; }
    // Bytes of block k: blockSize, or what is left of the file for the last block.
    constexpr std::uint64_t Length(std::uint64_t k) const {
        return std::min(blockSize, fileSize - First(k));
    }
    // Last byte of block k (inclusive); a block never reaches past the end of the file.
    constexpr std::uint64_t Last(std::uint64_t k) const { return First(k) + Length(k) - 1; }
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

    constexpr bool Servable() const { return fileSize <= kMaxServableFileSize; }

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
