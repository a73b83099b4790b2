#include "tools/publisher/edition_check.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <vector>

#include "tools/publisher/block_digester.h"
#include "tools/publisher/package_check.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publication_names.h"
#include "tools/publisher/quoted.h"
#include "tools/publisher/temp_file.h"

namespace {

constexpr std::size_t kListedBlockFaults = 5;

// What the index says about one file.
struct IndexedFile {
    std::string filename;
    std::string hash;
    std::string blockhash;
    std::uint64_t filesize = 0;
    std::uint64_t blocksize = 0;
};

// Receives a release file: digests it and, for packages, keeps a copy to open afterwards.
class DigestingSink : public ObjectSink {
  public:
    DigestingSink(std::uint64_t blocksize, const std::filesystem::path* copy, ProgressBar& bar)
        : mBlocksize(blocksize), mCopy(copy), mBar(bar) {}

    void Restart() override {
        mDigester.emplace(mBlocksize);
        mBar.Set(0);
        mWritten = 0;
        if (mCopy != nullptr) {
            mOut.close();
            mOut.clear();
            mOut.open(*mCopy, std::ios::binary | std::ios::trunc);
        }
    }

    void Write(const char* data, std::size_t length) override {
        mDigester->Update(data, length);
        mWritten += length;
        mBar.Set(mWritten);
        if (mCopy != nullptr) {
            mOut.write(data, static_cast<std::streamsize>(length));
        }
    }

    bool CopyFailed() {
        mOut.close();
        return mCopy != nullptr && mOut.fail();
    }

    FileDigests Finish() { return mDigester ? mDigester->Finish() : BlockDigester(0).Finish(); }

  private:
    std::uint64_t mBlocksize;
    const std::filesystem::path* mCopy;
    ProgressBar& mBar;
    std::optional<BlockDigester> mDigester;
    std::uint64_t mWritten = 0;
    std::ofstream mOut;
};

IndexedFile ReadIndexedFile(const JsonValue& edition) {
    IndexedFile file;
    file.filename = edition["filename"].String();
    file.hash = edition["hash"].String();
    file.blockhash = edition["blockhash"].String();
    file.filesize = edition["filesize"].Number();
    file.blocksize = edition["blocksize"].Number();
    return file;
}

// The digest list's entries, each a lower-case hex MD5, as many as the file has blocks.
std::optional<std::vector<std::string>> ParseDigestList(const std::string& text,
                                                        const std::string& object,
                                                        const IndexedFile& file,
                                                        EditionReport& report) {
    const JsonValue list = JsonValue::Parse(text);
    if (!list.IsArray()) {
        report.problems.push_back("the digest list " + object + " is not a JSON array");
        return std::nullopt;
    }
    std::vector<std::string> digests;
    for (const JsonValue& entry : list.Elements()) {
        if (!IsLowerHexDigest(entry.String(), 32)) {
            report.problems.push_back("digest list entry " + std::to_string(digests.size()) +
                                      " is not a lower-case hex MD5 text");
        }
        digests.push_back(entry.String());
    }
    const std::uint64_t expected =
        file.filesize / file.blocksize + (file.filesize % file.blocksize != 0 ? 1 : 0);
    if (digests.size() != expected) {
        report.problems.push_back("the digest list has " + std::to_string(digests.size()) +
                                  " entries, but filesize " + std::to_string(file.filesize) +
                                  " in blocks of " + std::to_string(file.blocksize) + " makes " +
                                  std::to_string(expected));
    }
    return digests;
}

// The digest list the launcher would fetch; nothing when there is none it could use.
std::optional<std::vector<std::string>> ReadDigestList(ObjectSource& source,
                                                       const std::string& container,
                                                       const IndexedFile& file, bool isArc,
                                                       EditionReport& report) {
    if (file.blockhash.empty()) {
        if (isArc && file.filesize > 0) {
            report.problems.push_back(
                "no digest list (\"blockhash\" is empty): the launcher "
                "cannot download it");
        }
        return std::nullopt;
    }
    if (!IsValidObjectName(file.blockhash)) {
        report.problems.push_back("digest list name " + Quoted(file.blockhash) +
                                  " is not a usable object name");
        return std::nullopt;
    }
    if (file.blocksize == 0) {
        report.problems.push_back("\"blocksize\" is 0");
        return std::nullopt;
    }
    const std::string object = container + "/" + file.blockhash;
    std::string text;
    if (!source.ReadText(object, text)) {
        report.problems.push_back("the digest list " + object +
                                  " cannot be read (missing object?)");
        return std::nullopt;
    }
    return ParseDigestList(text, object, file, report);
}

// Streams the release file through the digests, keeping a copy in copy when there is one (the
// copy is dropped when it cannot be written); nothing when the file cannot be read.
std::optional<FileDigests> DigestReleaseFile(ObjectSource& source, const IndexedFile& file,
                                             std::uint64_t blocksize, std::optional<TempFile>& copy,
                                             EditionReport& report) {
    ProgressBar bar("reading " + file.filename, file.filesize);
    DigestingSink sink(blocksize, copy ? &copy->Path() : nullptr, bar);
    if (!source.Stream(report.object, sink)) {
        report.problems.push_back("the release file " + report.object +
                                  " cannot be read (missing object?)");
        return std::nullopt;
    }
    if (sink.CopyFailed()) {
        report.problems.push_back("cannot keep a copy of the package in " + copy->Path().string());
        copy.reset();
    }
    return sink.Finish();
}

void CompareWithIndex(const FileDigests& digests, const IndexedFile& file, EditionReport& report) {
    if (digests.size != file.filesize) {
        report.problems.push_back("the release file has " + std::to_string(digests.size) +
                                  " bytes, but \"filesize\" says " + std::to_string(file.filesize));
    }
    if (digests.sha256 != file.hash) {
        report.problems.push_back("the release file's SHA-256 is " + digests.sha256 +
                                  ", but \"hash\" says " + file.hash);
    }
}

// Lists the first few blocks that differ from the digest list and counts the rest.
void CompareWithDigestList(const FileDigests& digests, const std::vector<std::string>& digestList,
                           EditionReport& report) {
    std::size_t faults = 0;
    const std::size_t compared = std::min(digestList.size(), digests.blockMd5s.size());
    for (std::size_t block = 0; block < compared; ++block) {
        if (digests.blockMd5s[block] == digestList[block]) {
            continue;
        }
        if (++faults <= kListedBlockFaults) {
            report.problems.push_back("block " + std::to_string(block) + " has the MD5 " +
                                      digests.blockMd5s[block] + ", but the digest list says " +
                                      digestList[block]);
        }
    }
    if (faults > kListedBlockFaults) {
        report.problems.push_back("and " + std::to_string(faults - kListedBlockFaults) +
                                  " more blocks that do not match the digest list");
    }
}

}  // namespace

void CheckEdition(ObjectSource& source, const std::string& container, const JsonValue& edition,
                  EditionReport& report) {
    const IndexedFile file = ReadIndexedFile(edition);
    const bool isArc = report.filetype != "iso";
    report.object = container + "/" + file.filename;
    if (!IsValidObjectName(file.filename)) {
        report.problems.push_back("file name " + Quoted(file.filename) +
                                  " is not a usable object name");
        return;
    }
    if (!IsLowerHexDigest(file.hash, 64)) {
        report.problems.push_back("\"hash\" " + Quoted(file.hash) +
                                  " is not a lower-case hex SHA-256 digest");
    }
    const auto digestList = ReadDigestList(source, container, file, isArc, report);
    std::optional<TempFile> copy;
    if (isArc) {
        copy.emplace("setup-publisher-verify");
    }
    const auto digests =
        DigestReleaseFile(source, file, digestList ? file.blocksize : 0, copy, report);
    if (!digests) {
        return;
    }
    report.size = digests->size;
    report.blocks = digests->blockMd5s.size();
    CompareWithIndex(*digests, file, report);
    if (digestList) {
        CompareWithDigestList(*digests, *digestList, report);
    }
    if (copy) {
        CheckPackage(copy->Path(), report);
    }
}
