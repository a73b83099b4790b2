#pragma once
// Publishes what release staged: each chosen edition's file and digest list to its container,
// then the index to <product>-v2/index, so the index never names objects that are not there yet.
// Containers are created with anonymous read access for blobs (launchers read without
// credentials); writing is signed with the account's shared key.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/endpoints.h"

class IndexSigner;

struct UploadRequest {
    std::filesystem::path staging;
    std::string product;
    std::vector<std::string> releases;  // release keys; empty: every staged release
    std::string language;               // only this language edition; empty: all
    bool indexOnly = false;
    Endpoint endpoint;
    std::string account;
    std::string accountKey;               // base64
    const IndexSigner* signer = nullptr;  // signs the index into "index.sig" when set
    std::optional<unsigned> expiresDays;  // with signer: the statement expires after these days
    bool unsignedIndex = false;           // no signer: remove a published "index.sig"
};

struct UploadResult {
    std::vector<std::string> uploaded;  // object paths in upload order
    std::vector<std::string> notes;
};

// Throws PublisherError when a staged object disagrees with the staged index or the store
// refuses a request.
UploadResult UploadStaged(const UploadRequest& request);
