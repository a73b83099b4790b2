#include "tools/publisher/block_digester.h"

#include <algorithm>
#include <fstream>

#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publisher_error.h"

BlockDigester::BlockDigester(std::uint64_t blocksize) : mBlocksize(blocksize) {}

void BlockDigester::Update(const char* data, std::size_t length) {
    mWhole.Update(data, length);
    mResult.size += length;
    if (mBlocksize == 0) {
        return;
    }
    while (length > 0) {
        if (!mBlock) {
            mBlock = std::make_unique<HashContext>("MD5", "");
        }
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, mBlocksize - mInBlock));
        mBlock->Update(data, piece);
        mInBlock += piece;
        data += piece;
        length -= piece;
        if (mInBlock == mBlocksize) {
            FinishBlock();
        }
    }
}

void BlockDigester::FinishBlock() {
    mResult.blockMd5s.push_back(mBlock->Finish(true));
    mBlock.reset();
    mInBlock = 0;
}

FileDigests BlockDigester::Finish() {
    if (mBlock) {
        FinishBlock();  // the shorter last block
    }
    mResult.sha256 = mWhole.Finish(true);
    if (mResult.sha256.empty()) {
        throw PublisherError("the SHA-256 digest is not available");
    }
    return std::move(mResult);
}

FileDigests DigestFile(const std::filesystem::path& file, std::uint64_t blocksize,
                       ProgressBar* progress) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw PublisherError("cannot open " + file.string());
    }
    BlockDigester digester(blocksize);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        digester.Update(buffer.data(), got);
        if (progress != nullptr) {
            progress->Advance(got);
        }
    }
    if (!in.eof()) {
        throw PublisherError("cannot read " + file.string());
    }
    return digester.Finish();
}
