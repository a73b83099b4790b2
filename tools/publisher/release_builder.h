#pragma once
// Describes a release file in a product's index, working on a local staging folder that mirrors
// the blob store object for object:
//   <staging>/<product>-v2/index              the release index
//   <staging>/<container>/<filename>          the release file
//   <staging>/<container>/<filename>.blockhash.json   its block digest list
// so that a publisher can review everything before it goes online and upload publishes exactly
// what was reviewed.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/launcher_version.h"
#include "tools/publisher/block_digester.h"

inline constexpr std::uint64_t kDefaultBlockSize = 4 * 1024 * 1024;
inline constexpr std::uint64_t kDefaultRequiredSetup = LauncherVersion;

struct ReleaseRequest {
    std::filesystem::path staging;
    std::filesystem::path file;  // the package or disc image
    std::string product;
    std::string key;          // release key, e.g. "2024.1"
    std::string displayText;  // "release"
    std::string filetype = "arc";
    std::string language;   // empty: the release's own file
    std::string container;  // empty: the product name
    std::string filename;   // empty: product-key[-language].zip/.iso
    std::uint64_t blocksize = kDefaultBlockSize;
    std::uint64_t requiredSetup = kDefaultRequiredSetup;
    bool makeCurrent = false;
};

struct ReleaseResult {
    std::filesystem::path indexFile;
    std::filesystem::path releaseFile;
    std::filesystem::path digestListFile;
    std::string container;
    std::string filename;
    std::string blockhash;
    FileDigests digests;
    std::vector<std::string> notes;
};

std::filesystem::path StagedIndexFile(const std::filesystem::path& staging,
                                      const std::string& product);
std::filesystem::path StagedObjectFile(const std::filesystem::path& staging,
                                       const std::string& container, const std::string& name);

// Throws PublisherError on invalid input, an unreadable file or an unusable existing index.
ReleaseResult AddRelease(const ReleaseRequest& request);

// The digest list document: a JSON array of lower-case hex MD5 texts.
std::string DigestListText(const std::vector<std::string>& blockMd5s);

// Lines telling which releases the launcher offers for the index, current first.
std::vector<std::string> DescribeOffer(const std::filesystem::path& indexFile);

// Writes a file through a temporary beside it, so a reader never sees half of it.
void WriteFileAtomically(const std::filesystem::path& file, const std::string& content);
std::string ReadWholeFile(const std::filesystem::path& file);
