#pragma once
// A small client for the blob and table store, for the tools that publish releases and for tests:
// create a container whose blobs anyone may read, put a blob (in blocks when it is large), read a
// blob's properties, create a table, insert entities and query them page by page. Every request is
// signed with the account's shared key (the Blob service's SharedKey scheme; SharedKeyLite or
// SharedKey for the table service) or, for table queries, authorised by a SAS token, and travels
// over the launcher's own HTTP transport, so the same certificate rules apply.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/endpoints.h"
#include "net/object_path.h"

struct StoreAccount {
    std::string name;  // e.g. "devstoreaccount1"
    std::string key;   // base64, as the store hands it out
    Endpoint blob;     // https://host[:port] of the blob service
    Endpoint table;    // of the table service (only CreateTable needs it)
};

// The account from SETUP_PUBLISHER_ACCOUNT / SETUP_PUBLISHER_ACCOUNT_KEY and the endpoints from
// SETUP_LAUNCHER_DOWNLOAD_ENDPOINT / SETUP_LAUNCHER_TABLE_ENDPOINT (what scripts/local-store.sh
// exports); nullopt when the account or key is missing.
std::optional<StoreAccount> StoreAccountFromEnvironment();

// The outcome of one store operation. status is the final HTTP status (0 when no answer came);
// message is the store's error code and text, or the transport's error, when !ok.
struct StoreResult {
    bool ok = false;
    int status = 0;
    std::string message;
};

struct BlobProperties {
    std::uint64_t size = 0;
    std::string contentType;
    std::string contentMd5;  // base64, as the store reports it; empty when it keeps none
    std::string etag;
};

class BlobStoreClient {
  public:
    // Progress of an upload: bytes sent so far and the total.
    using Progress = std::function<void(std::uint64_t sent, std::uint64_t total)>;

    explicit BlobStoreClient(StoreAccount account);

    // Creates the container with anonymous read access to its blobs; a container that already
    // exists counts as success and gets that access level.
    StoreResult CreateContainer(const std::string& container);
    // Puts a whole blob from memory (one request), replacing any blob of that name.
    StoreResult PutBlob(const std::string& container, const std::string& name,
                        std::string_view content,
                        const std::string& contentType = "application/octet-stream");
    // Puts a file, in blocks of blockSize bytes when it is larger than one block (Put Block, then
    // Put Block List); memory use stays at one block.
    StoreResult PutBlobFromFile(const std::string& container, const std::string& name,
                                const std::filesystem::path& file,
                                const std::string& contentType = "application/octet-stream",
                                const Progress& progress = {},
                                std::uint64_t blockSize = kDefaultBlockSize);
    // nullopt when the blob does not exist or the store could not be asked (see result).
    std::optional<BlobProperties> GetBlobProperties(const std::string& container,
                                                    const std::string& name,
                                                    StoreResult* result = nullptr);
    // The whole blob, refused (nullopt, with result's message) when it is larger than maxBytes;
    // nullopt also when it does not exist (result's status 404) or the store could not be asked.
    std::optional<std::string> GetBlob(const std::string& container, const std::string& name,
                                       std::size_t maxBytes, StoreResult* result = nullptr);
    // Deletes a blob; one that does not exist counts as deleted.
    StoreResult DeleteBlob(const std::string& container, const std::string& name);
    // Creates the table; one that already exists counts as success.
    StoreResult CreateTable(const std::string& table);

    static constexpr std::uint64_t kDefaultBlockSize = 4u << 20;

  private:
    StoreAccount mAccount;
};

// The signing rules, exposed for their own tests.
struct SignedRequest {
    std::string verb;  // "GET", "PUT", "HEAD", ...
    std::string path;  // "/container/blob", percent-encoded as sent
    std::vector<std::pair<std::string, std::string>> query;    // decoded names and values
    std::vector<std::pair<std::string, std::string>> headers;  // as sent, with Content-Length
};
// The Blob service's SharedKey string to sign.
std::string BlobStringToSign(const std::string& account, const SignedRequest& request);
// "SharedKey <account>:<base64 HMAC-SHA256 of text under the decoded key>" (or SharedKeyLite).
std::string SharedKeyAuthorization(const std::string& scheme, const std::string& account,
                                   const std::string& key, const std::string& stringToSign);
// An RFC 1123 date as the x-ms-date header wants it.
std::string HttpDate(std::int64_t unixSeconds);

// Reading and inserting table entities: signed with the account key (SharedKey), or authorised by
// a SAS token that the account's owner handed out (then the key is not needed).
struct TableAccess {
    Endpoint table;
    std::string account;   // needed with a key
    std::string key;       // base64; empty when sasToken is used
    std::string sasToken;  // "sv=...&sig=...", already percent-encoded, without "?"
};

// Where a query goes on: the store's x-ms-continuation-NextPartitionKey and -NextRowKey headers.
struct TableContinuation {
    std::string nextPartitionKey;
    std::string nextRowKey;
    bool Empty() const { return nextPartitionKey.empty() && nextRowKey.empty(); }
    bool operator==(const TableContinuation&) const = default;
};

struct TableQueryPage {
    StoreResult result;
    std::string body;        // the store's answer, {"value":[...]} without metadata, when ok
    TableContinuation next;  // empty on the last page
};

class TableStoreClient {
  public:
    explicit TableStoreClient(TableAccess access);

    // One page of the entities of the table that match filter (an OData $filter expression, empty
    // for all), starting where from says. An answer longer than maxBody bytes fails the page.
    TableQueryPage QueryEntities(const std::string& table, const std::string& filter,
                                 const TableContinuation& from,
                                 std::size_t maxBody = kMaxPageBytes);
    // Inserts one entity, the JSON text of an object of its members.
    StoreResult InsertEntity(const std::string& table, const std::string& entityJson);

    // A page holds at most 1000 entities; this leaves room for large ones.
    static constexpr std::size_t kMaxPageBytes = 32u << 20;

  private:
    TableAccess mAccess;
};

// The table service's SharedKey string to sign: verb, Content-MD5 (empty), Content-Type, the
// x-ms-date value and the canonicalised resource "/" + account + path (path as sent, no query).
std::string TableSharedKeyStringToSign(const std::string& verb, const std::string& contentType,
                                       const std::string& date, const std::string& account,
                                       const std::string& path);
