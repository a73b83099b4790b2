#pragma once
// Where the launcher reaches its two remote stores: built in at build time, overridable through
// SETUP_LAUNCHER_DOWNLOAD_ENDPOINT / SETUP_LAUNCHER_TABLE_ENDPOINT (scheme://host[:port]) for
// staging and tests. SETUP_LAUNCHER_CA_FILE names further trusted authorities (POSIX only).
#include <cstdint>
#include <optional>
#include <string>

struct Endpoint {
    std::u16string host;
    std::uint16_t port = 0;  // 0: the scheme's default (443 or 80)
    bool secure = true;
};

// Parses "scheme://host[:port]" (scheme http or https, an optional trailing "/"); nullopt when the
// text is not of that form.
std::optional<Endpoint> ParseEndpoint(const std::string& text);

// The built-in endpoint, or the environment's override when that is set and valid.
Endpoint ConfiguredDownloadEndpoint();
Endpoint ConfiguredTableEndpoint();
// The PEM file of further trusted authorities, empty when none is set.
std::string ExtraCaFile();

// The blob store that serves release indexes and files: empty until RunLauncher sets it as the
// first step of a launch; nothing else writes it.
extern Endpoint DownloadHost;
