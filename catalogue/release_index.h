#pragma once
// The catalogue model: the parsed release index, the entries of the version list and the record of
// the user's choice with the chosen release's data.
#include <cstdint>
#include <memory>
#include <string>

#include "core/json_reader.h"

class ReadOnlyFile;

// The parsed release index, shared read-only.
using ProductCatalog = JsonValue;

struct ReleaseChoice {
    std::string key;          // release key (member name under "releases")
    std::string displayText;  // the release's "release" text
};

struct SetupSelection {
    std::u16string product;
    std::string version;
    std::string containername;
    std::string filename;
    std::string filetype;
    std::string blockhash;
    std::uint64_t blocksize = 0;
    std::string hash;
    std::uint64_t filesize = 0;
    std::uint64_t required_setup = 0;
    bool download_only = false;
    std::u16string destination;  // folder path ending with the separator
    // The release file as the download verified it, held open so that the install reads exactly
    // those bytes whatever happens to its name meanwhile; empty until a download verified it.
    std::shared_ptr<const ReadOnlyFile> package;
};
