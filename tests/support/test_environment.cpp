#include "support/test_environment.h"

#include <fstream>
#include <iterator>
#include <random>

#include "core/text_conversion.h"

TempDir::TempDir() {
    std::random_device random;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        mPath = base / ("setup-launcher-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(mPath)) {
            break;
        }
    }
}

TempDir::~TempDir() {
    std::error_code error;
    // Folders made read-only by a test must not keep their contents alive.
    for (auto it = std::filesystem::recursive_directory_iterator(mPath, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, error);
    }
    std::filesystem::remove_all(mPath, error);
}

std::u16string TempDir::folder() const {
    return ToUtf16(mPath.string() + "/");
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : mName(name) {
    if (const char* old = std::getenv(name)) {
        mOld = old;
    }
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (mOld) {
        ::setenv(mName.c_str(), mOld->c_str(), 1);
    } else {
        ::unsetenv(mName.c_str());
    }
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string NoiseBytes(std::size_t size, std::uint32_t seed) {
    std::string data(size, '\0');
    for (char& c : data) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return data;
}
