#pragma once
// Digests: MD5 of blocks, SHA-256 of files, HMAC-SHA-256 for signing. Failures never raise
// errors: an unusable context gives the empty text, which then fails the caller's comparison.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class HashContext {
  public:
    // algorithm: "MD5" or "SHA256"; a non-empty key makes it an HMAC.
    HashContext(const std::string& algorithm, std::string_view key);
    ~HashContext();
    HashContext(const HashContext&) = delete;
    HashContext& operator=(const HashContext&) = delete;

    bool Usable() const;
    void Update(const void* data, std::size_t length);
    // Lower-case hex text (asHex) or the raw digest bytes; empty when unusable or failed.
    std::string Finish(bool asHex);

    struct Impl;

  private:
    std::unique_ptr<Impl> mImpl;
};

std::string HexText(std::string_view bytes);

std::string HashText(std::string_view data, const std::string& algorithm, bool asHex);
std::string Md5Hex(std::string_view data);
std::string HmacText(std::string_view data, const std::string& algorithm, std::string_view key);
std::string HmacSha256(std::string_view key, std::string_view data);
// Hex digest of a file read in 1 MiB pieces; a file that cannot be opened gives the digest of
// empty input.
std::string HashFile(const std::u16string& path, const std::string& algorithm);
std::string Sha256FileHex(const std::u16string& path);
class ReadOnlyFile;
// Hex SHA-256 of every byte of an open file, read in 1 MiB pieces from its start.
std::string Sha256FileHex(const ReadOnlyFile& file);
