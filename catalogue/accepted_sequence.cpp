#include "catalogue/accepted_sequence.h"

#include <charconv>
#include <fstream>
#include <optional>

#include "core/file_system.h"
#include "core/local_state.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"

namespace {

// The record's file name: the product with every byte outside [A-Za-z0-9_-] (and a leading ".")
// written as %XX, so that no product name leaves the folder or clashes with another.
std::string RecordName(const std::string& product) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name;
    for (std::size_t i = 0; i < product.size(); ++i) {
        const auto byte = static_cast<unsigned char>(product[i]);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '_' || byte == '-' ||
                           (byte == '.' && i > 0);
        if (plain) {
            name += static_cast<char>(byte);
        } else {
            name += '%';
            name += kHex[byte >> 4];
            name += kHex[byte & 0x0f];
        }
    }
    return name;
}

// The number a record holds: decimal digits and one optional line end; nullopt for anything else.
std::optional<std::uint64_t> ParseRecord(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    std::uint64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::u16string AcceptedSequencePath(const std::string& product) {
    const std::u16string folder = LocalStateFolder();
    if (folder.empty() || product.empty()) {
        return {};
    }
    return AsDirectoryPath(folder) + u"setup-launcher" + kPathSeparator + u"index-sequence" +
           kPathSeparator + ToUtf16(RecordName(product));
}

std::uint64_t ReadAcceptedSequence(const std::string& product) {
    const std::u16string path = AcceptedSequencePath(product);
    if (path.empty()) {
        LOG_RECORD(product +
                   ": no folder for the accepted release index sequence: starting from 0");
        return 0;
    }
    std::ifstream in(NativePath(path), std::ios::binary);
    if (!in) {
        LOG_RECORD(product + ": no accepted release index sequence in " + ToUtf8(path) +
                   ": starting from 0");
        return 0;
    }
    // A record is a few digits; reading one byte past the longest keeps a large file out.
    std::string text(22, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    const std::optional<std::uint64_t> value = in.bad() ? std::nullopt : ParseRecord(text);
    if (!value) {
        LOG_RECORD(product + ": the accepted release index sequence in " + ToUtf8(path) +
                   " cannot be read: starting from 0");
        return 0;
    }
    return *value;
}

void RememberAcceptedSequence(const std::string& product, std::uint64_t sequence) {
    const std::u16string path = AcceptedSequencePath(product);
    if (!path.empty()) {
        CreateParentDirectories(path);
        if (ReplaceFileAtomically(path, std::to_string(sequence) + "\n")) {
            return;
        }
    }
    LOG_RECORD(product + ": cannot remember the accepted release index sequence " +
               std::to_string(sequence) + (path.empty() ? "" : " in " + ToUtf8(path)));
}
