#pragma once
// Small helpers shared by tests: a temporary folder removed at the end, an environment variable
// set for one scope, whole-file reads and writes, and bytes that do not compress.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return mPath; }
    // The folder as a UTF-16 path with a trailing separator (the form of a destination).
    std::u16string folder() const;

  private:
    std::filesystem::path mPath;
};

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string mName;
    std::optional<std::string> mOld;
};

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// Bytes that do not compress (a linear congruential sequence from seed), so that a package of
// them spans as many blocks as it has bytes; the same seed gives the same bytes.
std::string NoiseBytes(std::size_t size, std::uint32_t seed = 7);
