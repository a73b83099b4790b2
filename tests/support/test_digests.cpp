#include "support/test_digests.h"

#include <nlohmann/json.hpp>

#include <string_view>

#include "core/hash_context.h"

std::vector<std::string> DigestsOf(const std::string& data, std::uint64_t blockSize) {
    std::vector<std::string> digests;
    for (std::size_t at = 0; at < data.size(); at += blockSize) {
        digests.push_back(Md5Hex(std::string_view(data).substr(at, blockSize)));
    }
    return digests;
}

std::string DigestListJson(const std::vector<std::string>& digests) {
    return nlohmann::json(digests).dump();
}

std::string Sha256Of(const std::string& data) {
    return HashText(data, "SHA256", true);
}
