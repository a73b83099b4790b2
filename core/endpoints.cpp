// The built-in endpoints of the two remote stores and their overrides from the environment.
#include "core/endpoints.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

#include "core/safe_text.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"

Endpoint DownloadHost;

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

bool IsHostCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '-' || c == '.' || c == '_';
}

// The override when it is set, else the built-in text. A refused override ends the work: falling
// back to the built-in store would send the user's requests somewhere else than they asked for.
Endpoint Configured(const char* variable, const char* builtIn) {
    if (const char* text = std::getenv(variable); text && *text) {
        if (auto endpoint = ParseEndpoint(text)) return *endpoint;
        THROW_DOWNLOAD(std::string(variable) + " \"" + SafeText(BoundedText(text, 200)) +
                       "\" is no https://host[:port]; the stores are reached over HTTPS only");
    }
    return ParseEndpoint(builtIn).value_or(Endpoint{});
}

}  // namespace

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
    std::string_view rest(text);
    Endpoint endpoint;
    if (!StartsWithNoCase(rest, "https://")) return std::nullopt;
    rest.remove_prefix(8);
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);

    std::string_view host;
    if (!rest.empty() && rest.front() == '[') {  // an IPv6 literal keeps its brackets
        const auto close = rest.find(']');
        if (close == std::string_view::npos || close < 2) return std::nullopt;
        for (char c : rest.substr(1, close - 1))
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
                return std::nullopt;
        host = rest.substr(0, close + 1);
        rest.remove_prefix(close + 1);
    } else {
        const auto colon = rest.find(':');
        host = rest.substr(0, colon);
        if (host.empty()) return std::nullopt;
        for (char c : host)
            if (!IsHostCharacter(c)) return std::nullopt;
        rest.remove_prefix(host.size());
    }

    if (!rest.empty()) {
        if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return std::nullopt;
        unsigned long port = 0;
        for (char c : rest.substr(1)) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
            port = port * 10 + static_cast<unsigned long>(c - '0');
        }
        if (port == 0 || port > 65535) return std::nullopt;
        endpoint.port = static_cast<std::uint16_t>(port);
    }
    endpoint.host = ToUtf16(host);
    return endpoint;
}

Endpoint ConfiguredDownloadEndpoint() {
    return Configured("SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", SETUP_LAUNCHER_DOWNLOAD_ENDPOINT_TEXT);
}

Endpoint ConfiguredTableEndpoint() {
    return Configured("SETUP_LAUNCHER_TABLE_ENDPOINT", SETUP_LAUNCHER_TABLE_ENDPOINT_TEXT);
}

std::string ExtraCaFile() {
    const char* file = std::getenv("SETUP_LAUNCHER_CA_FILE");
    return file ? std::string(file) : std::string();
}
