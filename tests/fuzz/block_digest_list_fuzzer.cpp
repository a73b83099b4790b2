// The block digest list reader over arbitrary bodies: an array of texts or nothing, never more
// entries than the text could hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "download/block_digest_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> digests = {"kept"};
    if (!ParseBlockDigests(text, digests)) {
        if (digests.size() != 1) std::abort();  // a refused list adds nothing
        return 0;
    }
    // Every element takes at least one byte of the text besides the brackets.
    if (digests.size() - 1 > text.size()) std::abort();
    return 0;
}
