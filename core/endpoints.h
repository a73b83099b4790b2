#pragma once
// Where the launcher reaches its two remote stores: built in at build time, overridable through
// SETUP_LAUNCHER_DOWNLOAD_ENDPOINT / SETUP_LAUNCHER_TABLE_ENDPOINT (https://host[:port]) for
// staging and tests. Both stores are reached over HTTPS only. SETUP_LAUNCHER_CA_FILE names
// further trusted authorities (POSIX only).
#include <cstdint>
#include <optional>
#include <string>

struct Endpoint {
    std::u16string host;
    std::uint16_t port = 0;  // 0: the scheme's default (443)
    // Always true for an endpoint parsed here; the transfer layer also speaks plain HTTP (its own
    // tests and the refusal of redirects to it), so the flag travels with the endpoint.
    bool secure = true;
};

// Parses "https://host[:port]" (scheme in any case, an optional trailing "/"); nullopt when the
// text is not of that form, whatever its scheme.
std::optional<Endpoint> ParseEndpoint(const std::string& text);

// The built-in endpoint, or the environment's override when that is set. An override that is no
// https://host[:port] is never replaced by the built-in endpoint: it throws DownloadException
// (logged) naming the variable, so that no request goes anywhere the user did not mean.
Endpoint ConfiguredDownloadEndpoint();
Endpoint ConfiguredTableEndpoint();
// The PEM file of further trusted authorities, empty when none is set.
std::string ExtraCaFile();

// The blob store that serves release indexes and files: empty until RunLauncher sets it as the
// first step of a launch; nothing else writes it.
extern Endpoint DownloadHost;
