// Base64 both ways: what is encoded decodes to the same bytes, and decoding any text neither
// crashes nor yields more bytes than the text could carry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string encoded = Base64Encode(bytes);
    if (Base64Decode(encoded) != bytes) std::abort();
    const std::string decoded = Base64Decode(bytes);
    if (decoded.size() > size) std::abort();
    return 0;
}
