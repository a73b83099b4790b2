#pragma once
// Digests a stream of bytes the way the launcher checks a release file: the SHA-256 of the whole
// and the MD5 of every block of blocksize bytes (the last block may be shorter). Bytes may arrive
// in pieces of any length.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/hash_context.h"

class ProgressBar;

struct FileDigests {
    std::uint64_t size = 0;
    std::string sha256;                  // lower-case hex
    std::vector<std::string> blockMd5s;  // lower-case hex, one per block; empty without blocks
};

class BlockDigester {
  public:
    // blocksize 0: no block digests.
    explicit BlockDigester(std::uint64_t blocksize);
    void Update(const char* data, std::size_t length);
    FileDigests Finish();

  private:
    void FinishBlock();

    std::uint64_t mBlocksize;
    std::uint64_t mInBlock = 0;
    FileDigests mResult;
    HashContext mWhole{"SHA256", ""};
    std::unique_ptr<HashContext> mBlock;
};

// Reads a local file through a BlockDigester; throws PublisherError when it cannot be read.
FileDigests DigestFile(const std::filesystem::path& file, std::uint64_t blocksize,
                       ProgressBar* progress);
