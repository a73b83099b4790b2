// The JSON reader over an arbitrary release index, and the release selection over what it parsed:
// the offered list, and the selection of every offered release in every language it lists.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "catalogue/release_selection.h"
#include "core/json_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const ProductCatalog catalog = JsonValue::Parse(text, &error);
    for (const ReleaseChoice& choice : OfferedReleases(catalog)) {
        ReleaseVersionNumber(choice.key);
        ReadSetupSelection(catalog, "fuzz", choice.key, "");
        const JsonValue languages = catalog["releases"][choice.key]["languages"];
        for (const auto& [code, edition] : languages.Members()) {
            ReadSetupSelection(catalog, "fuzz", choice.key, code);
        }
    }
    return 0;
}
