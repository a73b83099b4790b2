#include "core/json_reader.h"

#include <cmath>
#include <limits>

namespace {
const nlohmann::json& NullJson() {
    static const nlohmann::json value;
    return value;
}

constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;
}  // namespace

std::uint64_t DoubleToUnsigned64(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= 0) {
        if (value >= kTwoPow64) {
            return std::numeric_limits<std::uint64_t>::max();
        }
        return static_cast<std::uint64_t>(value);
    }
    // Negative values wrap around: -1 reads as 2^64 - 1.
    if (value <= -kTwoPow63) {
        return static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::min());
    }
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

JsonValue::JsonValue() : mRoot(), mNode(&NullJson()) {}

JsonValue::JsonValue(std::shared_ptr<const nlohmann::json> root, const nlohmann::json* node)
    : mRoot(std::move(root)), mNode(node) {}

JsonValue JsonValue::FromJson(nlohmann::json value) {
    auto root = std::make_shared<const nlohmann::json>(std::move(value));
    const nlohmann::json* node = root.get();
    return JsonValue(std::move(root), node);
}

JsonValue JsonValue::Parse(std::string_view text, std::string* error) {
    // The parser would skip a byte-order mark; a document that starts with one is refused.
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        if (error != nullptr) {
            *error = "a byte-order mark is not allowed before the document";
        }
        return JsonValue();
    }
    try {
        return FromJson(nlohmann::json::parse(text, nullptr, true, false));
    } catch (const nlohmann::json::exception& e) {
        if (error != nullptr) {
            *error = e.what();
        }
        return JsonValue();
    }
}

bool JsonValue::IsNull() const {
    return mNode->is_null();
}
bool JsonValue::IsObject() const {
    return mNode->is_object();
}
bool JsonValue::IsArray() const {
    return mNode->is_array();
}
bool JsonValue::IsString() const {
    return mNode->is_string();
}

JsonValue JsonValue::operator[](std::string_view name) const {
    if (!mNode->is_object()) {
        return JsonValue();
    }
    auto it = mNode->find(name);
    if (it == mNode->end()) {
        return JsonValue();
    }
    return JsonValue(mRoot, &*it);
}

std::string JsonValue::String() const {
    return mNode->is_string() ? mNode->get_ref<const std::string&>() : std::string();
}

std::uint64_t JsonValue::Number() const {
    return mNode->is_number() ? DoubleToUnsigned64(mNode->get<double>()) : 0;
}

std::vector<std::pair<std::string, JsonValue>> JsonValue::Members() const {
    std::vector<std::pair<std::string, JsonValue>> members;
    if (mNode->is_object()) {
        members.reserve(mNode->size());
        for (auto it = mNode->begin(); it != mNode->end(); ++it) {
            members.emplace_back(it.key(), JsonValue(mRoot, &*it));
        }
    }
    return members;
}

std::vector<JsonValue> JsonValue::Elements() const {
    std::vector<JsonValue> elements;
    if (mNode->is_array()) {
        elements.reserve(mNode->size());
        for (const auto& element : *mNode) {
            elements.push_back(JsonValue(mRoot, &element));
        }
    }
    return elements;
}

const nlohmann::json& JsonValue::Raw() const {
    return *mNode;
}
