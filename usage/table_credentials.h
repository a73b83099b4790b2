#pragma once
// How the launcher authenticates its usage events at the table store. The build carries either the
// account name and key, or an add-only shared access signature (SAS) for the usage table; the
// latter is preferred, since anyone can download the launcher and read what it carries.
//
// Name and key are kept in stored forms rather than as plain text: the account name as base64 of
// its bytes, the key as base64 of its base64 text. The stored forms are computed at compile time.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// Base64 (standard alphabet, with padding) usable in constant expressions, so that the build
// turns its configured values into their stored forms.
constexpr std::size_t Base64EncodedSize(std::size_t length) {
    return 4 * ((length + 2) / 3);
}

template <std::size_t Size>
struct StoredText {
    std::array<char, Size> chars{};
    constexpr std::string_view View() const { return std::string_view(chars.data(), Size); }
};

template <std::size_t Size>
constexpr StoredText<Size> EncodeBase64Constant(std::string_view bytes) {
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    StoredText<Size> out;
    std::size_t o = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = bytes.size() - i < 3 ? bytes.size() - i : 3;
        unsigned group = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            group <<= 8;
            if (k < count) {
                group |= static_cast<unsigned char>(bytes[i + k]);
            }
        }
        out.chars[o++] = kAlphabet[(group >> 18) & 63];
        out.chars[o++] = kAlphabet[(group >> 12) & 63];
        out.chars[o++] = count > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        out.chars[o++] = count > 2 ? kAlphabet[group & 63] : '=';
    }
    return out;
}

// The credentials in the form the signing needs them.
struct TableCredentials {
    std::string account;   // the storage account's name
    std::string key;       // the account key's bytes (64 for a real key); unused with a token
    std::string sasToken;  // the token's query text without a leading '?'; empty: sign with key
};

// Decodes the stored forms. A stored form that does not decode gives an empty value; the event is
// then still sent and refused by the store.
TableCredentials DecodeTableCredentials(std::string_view storedAccount, std::string_view storedKey,
                                        std::string_view sasToken);

// The stored forms this build carries (defined by the credentials library the program links,
// usage/table_credentials_config.cpp), and their decoded credentials.
std::string_view StoredTableAccount();
std::string_view StoredTableKey();
std::string_view ConfiguredTableSasToken();
TableCredentials ConfiguredTableCredentials();
