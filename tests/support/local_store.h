#pragma once
// What tests need to reach the local blob and table store that scripts/local-store.sh starts: its
// endpoints, its certificate authority and its account, all from the environment that script
// writes. Tests that need the store skip, saying how to start it, only when that environment is
// absent.
#include <optional>
#include <string>

#include "core/endpoints.h"

struct LocalStore {
    Endpoint blob;
    Endpoint table;
    std::string blobEndpoint;  // as exported, "https://devstoreaccount1.blob.localhost:10000"
    std::string tableEndpoint;
    std::string caFile;
    std::string account;
    std::string accountKey;
};

// The store from SETUP_LAUNCHER_DOWNLOAD_ENDPOINT, SETUP_LAUNCHER_TABLE_ENDPOINT,
// SETUP_LAUNCHER_CA_FILE, SETUP_PUBLISHER_ACCOUNT and SETUP_PUBLISHER_ACCOUNT_KEY; nullopt, with
// the names of the missing variables in missing, when any is absent or unusable.
std::optional<LocalStore> LocalStoreFromEnvironment(std::string* missing = nullptr);

// The message of a skipped store test.
std::string LocalStoreSkipMessage(const std::string& missing);

// In a test body: binds store to the local store or skips the test.
#define REQUIRE_LOCAL_STORE(store)                                                    \
    std::string localStoreMissing_;                                                   \
    const auto store##Optional_ = LocalStoreFromEnvironment(&localStoreMissing_);     \
    if (!store##Optional_) GTEST_SKIP() << LocalStoreSkipMessage(localStoreMissing_); \
    const LocalStore& store = *store##Optional_
