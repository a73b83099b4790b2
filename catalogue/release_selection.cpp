#include "catalogue/release_selection.h"

#include <climits>
#include <cstdlib>

#include "core/text_conversion.h"

namespace {
// A part's value as the standard text-to-integer conversion reads it: leading white space, an
// optional sign, digits up to the first non-digit; no digits count 0.
std::int64_t PartValue(const std::string& part) {
    long value = std::strtol(part.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return value;
}
}  // namespace

std::int64_t ReleaseVersionNumber(const std::string& key) {
    // Wrapping arithmetic: overlong keys have no meaning, but must not be undefined behaviour.
    std::uint64_t value = 0;
    std::size_t start = 0;
    while (start < key.size()) {
        std::size_t end = key.find('.', start);
        if (end == std::string::npos) end = key.size();
        value = value * 10 + static_cast<std::uint64_t>(PartValue(key.substr(start, end - start)));
        start = end + 1;
    }
    return static_cast<std::int64_t>(value);
}

std::vector<ReleaseChoice> OfferedReleases(const ProductCatalog& catalog) {
    std::string currentKey = catalog["current_release"].String();
    std::int64_t currentNumber = ReleaseVersionNumber(currentKey);
    JsonValue releases = catalog["releases"];
    std::vector<ReleaseChoice> offered;
    offered.push_back({currentKey, releases[currentKey]["release"].String()});
    if (catalog["forbid_release_selection"].IsNull()) {
        for (const auto& [name, release] : releases.Members()) {
            if (ReleaseVersionNumber(name) < currentNumber) {
                offered.push_back({name, release["release"].String()});
            }
        }
    }
    return offered;
}

SetupSelection ReadSetupSelection(const ProductCatalog& catalog, const std::string& product,
                                  const std::string& releaseKey, const std::string& languageCode) {
    SetupSelection selection;
    JsonValue release = catalog["releases"][releaseKey];
    selection.product = ToUtf16(product);
    selection.version = releaseKey;
    selection.containername = release["containername"].String();
    selection.required_setup = release["required_setup"].Number();
    selection.filetype = release["filetype"].String();

    // A chosen language edition carries its own file data; nothing is inherited from the release.
    JsonValue source = languageCode.empty() ? release : release["languages"][languageCode];
    selection.blockhash = source["blockhash"].String();
    selection.blocksize = source["blocksize"].Number();
    selection.filename = source["filename"].String();
    selection.hash = source["hash"].String();
    selection.filesize = source["filesize"].Number();
    if (selection.filetype.empty()) {
        selection.filetype = "arc";
    }
    return selection;
}
