#pragma once
// Base64 (standard alphabet, with padding, no line breaks). Decoding invalid text gives empty.
#include <string>
#include <string_view>

std::string Base64Encode(std::string_view bytes);
std::string Base64Decode(std::string_view text);
