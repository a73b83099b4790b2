// Reads the local store's environment.
#include "support/local_store.h"

#include <cstdlib>
#include <filesystem>

namespace {

std::string Variable(const char* name, std::string& missing) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
    missing += missing.empty() ? name : std::string(", ") + name;
    return std::string();
}

}  // namespace

std::optional<LocalStore> LocalStoreFromEnvironment(std::string* missingOut) {
    std::string missing;
    LocalStore store;
    store.blobEndpoint = Variable("SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", missing);
    store.tableEndpoint = Variable("SETUP_LAUNCHER_TABLE_ENDPOINT", missing);
    store.caFile = Variable("SETUP_LAUNCHER_CA_FILE", missing);
    store.account = Variable("SETUP_PUBLISHER_ACCOUNT", missing);
    store.accountKey = Variable("SETUP_PUBLISHER_ACCOUNT_KEY", missing);
    const auto blob = ParseEndpoint(store.blobEndpoint);
    const auto table = ParseEndpoint(store.tableEndpoint);
    if (!store.blobEndpoint.empty() && !blob)
        missing += " (SETUP_LAUNCHER_DOWNLOAD_ENDPOINT unusable)";
    if (!store.tableEndpoint.empty() && !table)
        missing += " (SETUP_LAUNCHER_TABLE_ENDPOINT unusable)";
    if (!store.caFile.empty() && !std::filesystem::exists(store.caFile))
        missing += " (SETUP_LAUNCHER_CA_FILE not found)";
    if (!missing.empty()) {
        if (missingOut) *missingOut = missing;
        return std::nullopt;
    }
    store.blob = *blob;
    store.table = *table;
    return store;
}

std::string LocalStoreSkipMessage(const std::string& missing) {
    return "the local store is not set up (" + missing +
           "); start it with `scripts/local-store.sh start store.env`, then `set -a; . "
           "./store.env; set +a`";
}
