#include "tools/publisher/publication_names.h"

#include <regex>

namespace {

bool Matches(const std::string& text, const char* pattern) {
    return std::regex_match(text, std::regex(pattern));
}

}  // namespace

bool IsValidProductName(const std::string& product) {
    return product.size() + 3 <= 63 && IsValidContainerName(product + "-v2");
}

bool IsValidContainerName(const std::string& name) {
    return name.size() >= 3 && name.size() <= 63 && name.find("--") == std::string::npos &&
           Matches(name, "[a-z0-9]([a-z0-9-]*[a-z0-9])?");
}

bool IsValidReleaseKey(const std::string& key) {
    return key.size() <= 64 && Matches(key, "[0-9]+(\\.[0-9]+)*");
}

bool IsValidLanguageCode(const std::string& code) {
    return code.size() <= 35 && Matches(code, "[A-Za-z]{2,3}(-[A-Za-z0-9]{1,8})*");
}

bool IsValidObjectName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           Matches(name, "[A-Za-z0-9._+-]+");
}

bool IsLowerHexDigest(const std::string& text, std::size_t length) {
    return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string IndexContainer(const std::string& product) {
    return product + "-v2";
}

std::string IndexObjectPath(const std::string& product) {
    return IndexContainer(product) + "/index";
}

std::string DefaultReleaseFileName(const std::string& product, const std::string& key,
                                   const std::string& language, const std::string& filetype) {
    std::string name = product + "-" + key;
    if (!language.empty()) {
        name += "-" + language;
    }
    return name + (filetype == "iso" ? ".iso" : ".zip");
}

std::string DigestListName(const std::string& filename) {
    return filename + ".blockhash.json";
}
