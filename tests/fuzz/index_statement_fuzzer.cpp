// Signed index statements as they come from the store: any index.sig text decodes without harm,
// and a text that reads as a statement is exactly the text that statement is written as (so
// no two texts mean the same statement, and nothing is read beyond what was signed).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/index_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto statement = ParseIndexStatement(text)) {
        if (IndexStatementText(*statement) != text) std::abort();
    }
    if (const auto decoded = DecodeIndexSignatureText(text)) {
        if (decoded->signature.size() != kIndexSignatureSize || decoded->statement.empty() ||
            size > kIndexSignatureTextLimit)
            std::abort();
        if (const auto statement = ParseIndexStatement(decoded->statement)) {
            if (IndexStatementText(*statement) != decoded->statement) std::abort();
        }
    }
    return 0;
}
