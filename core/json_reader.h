#pragma once
// The one reader of JSON documents from the network and from packages (release index, block digest
// lists, package descriptors). It applies the lenient reading rules: a missing or mistyped member
// reads as the empty text, 0, an empty list or null, and never fails by itself. Parsing is strict:
// no comments, nothing after the root value, no byte-order mark. Members are visited in byte order
// of their names; a name given twice keeps its later value. Copies share the parsed tree.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

class JsonValue {
  public:
    JsonValue();  // null

    // Parses one strict JSON document; a failure gives null and the parser's message in error.
    static JsonValue Parse(std::string_view text, std::string* error = nullptr);
    static JsonValue FromJson(nlohmann::json value);

    bool IsNull() const;
    bool IsObject() const;
    bool IsArray() const;
    bool IsString() const;

    // Member lookup; null when this is no object or has no such member.
    JsonValue operator[](std::string_view name) const;
    // String value; empty when this is no string.
    std::string String() const;
    // Number read as a double and converted to unsigned 64 bits (truncation toward zero, negative
    // values wrap around); 0 when this is no number.
    std::uint64_t Number() const;
    // Members in ascending byte order of their names; empty when this is no object.
    std::vector<std::pair<std::string, JsonValue>> Members() const;
    // Elements in order; empty when this is no array.
    std::vector<JsonValue> Elements() const;

    const nlohmann::json& Raw() const;

  private:
    JsonValue(std::shared_ptr<const nlohmann::json> root, const nlohmann::json* node);
    std::shared_ptr<const nlohmann::json> mRoot;
    const nlohmann::json* mNode;
};

// The conversion of the Number rule, exposed for its own tests.
std::uint64_t DoubleToUnsigned64(double value);
