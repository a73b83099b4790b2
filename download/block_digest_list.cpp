#include "download/block_digest_list.h"

#include "core/json_reader.h"

bool ParseBlockDigests(std::string_view text, std::vector<std::string>& digests) {
    const JsonValue list = JsonValue::Parse(text);
    if (!list.IsArray()) {
        return false;
    }
    const std::vector<JsonValue> elements = list.Elements();
    digests.reserve(digests.size() + elements.size());
    for (const JsonValue& element : elements) {
        digests.push_back(element.String());
    }
    return true;
}
