// The text conversions over arbitrary bytes, read once as UTF-8 and once as UTF-16 code units:
// nothing crashes, and whatever one conversion gives survives the way back and forth.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/text_conversion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view utf8(reinterpret_cast<const char*>(data), size);
    const std::u16string wide = ToUtf16(utf8);
    const std::string back = ToUtf8(wide);
    if (ToUtf16(back) != wide) std::abort();

    std::u16string units(size / 2, u'\0');
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
    const std::string narrow = ToUtf8(units);
    if (ToUtf8(ToUtf16(narrow)) != narrow) std::abort();
    return 0;
}
