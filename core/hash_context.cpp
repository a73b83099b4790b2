#include "core/hash_context.h"

#include <fstream>
#include <vector>

#include "core/file_system.h"

std::string HexText(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0F]);
    }
    return hex;
}

std::string HashText(std::string_view data, const std::string& algorithm, bool asHex) {
    HashContext context(algorithm, {});
    context.Update(data.data(), data.size());
    return context.Finish(asHex);
}

std::string Md5Hex(std::string_view data) {
    return HashText(data, "MD5", true);
}

std::string HmacText(std::string_view data, const std::string& algorithm, std::string_view key) {
    HashContext context(algorithm, key);
    context.Update(data.data(), data.size());
    return context.Finish(false);
}

std::string HmacSha256(std::string_view key, std::string_view data) {
    return HmacText(data, "SHA256", key);
}

std::string HashFile(const std::u16string& path, const std::string& algorithm) {
    HashContext context(algorithm, {});
    std::ifstream file(NativePath(path), std::ios::binary);
    std::vector<char> buffer(1048576);
    while (file.good()) {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        std::streamsize got = file.gcount();
        if (got > 0) {
            context.Update(buffer.data(), static_cast<std::size_t>(got));
        }
    }
    return context.Finish(true);
}

std::string Sha256FileHex(const std::u16string& path) {
    return HashFile(path, "SHA256");
}

std::string Sha256FileHex(const ReadOnlyFile& file) {
    HashContext context("SHA256", {});
    std::vector<char> buffer(1048576);
    std::uint64_t offset = 0;
    for (;;) {
        const std::size_t got = file.ReadAt(offset, buffer.data(), buffer.size());
        if (got == 0) {
            break;
        }
        context.Update(buffer.data(), got);
        offset += got;
    }
    return context.Finish(true);
}
