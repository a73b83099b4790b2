// The signed blob and table requests of the store client.
#include "tools/store/store_client.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <memory>

#include "core/base64.h"
#include "core/hash_context.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"

namespace {

constexpr const char* kBlobVersion = "2021-08-06";
constexpr const char* kTableVersion = "2019-02-02";
constexpr int kAttempts = 3;  // time-outs only; the store's own answers are final

using Headers = std::vector<std::pair<std::string, std::string>>;
using Query = std::vector<std::pair<std::string, std::string>>;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string HeaderValue(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (Lower(key) == Lower(std::string(name))) return value;
    return std::string();
}

struct Answer {
    int status = 0;
    std::string body;
    std::string transportError;
    Headers headers;  // the ones asked for, when present
};

// The store's error code and message from an XML (blob) or JSON (table) error body.
std::string StoreMessage(const Answer& answer) {
    if (!answer.transportError.empty()) return answer.transportError;
    auto between = [&answer](const std::string& open, const std::string& close) {
        const auto start = answer.body.find(open);
        if (start == std::string::npos) return std::string();
        const auto end = answer.body.find(close, start + open.size());
        return end == std::string::npos
                   ? std::string()
                   : answer.body.substr(start + open.size(), end - start - open.size());
    };
    std::string message = between("<Code>", "</Code>");
    if (const std::string text = between("<Message>", "</Message>"); !text.empty())
        message += ": " + text;
    if (message.empty()) message = between("\"code\":\"", "\"");
    if (message.empty()) message = answer.body.substr(0, 300);
    return "HTTP " + std::to_string(answer.status) + (message.empty() ? "" : " " + message);
}

StoreResult Result(const Answer& answer, bool ok) {
    StoreResult result;
    result.ok = ok;
    result.status = answer.status;
    if (!ok) result.message = StoreMessage(answer);
    return result;
}

std::string QueryText(const Query& query) {
    std::string text;
    for (const auto& [name, value] : query) {
        text += text.empty() ? "?" : "&";
        text += PercentEncode(name, false) + "=" + PercentEncode(value, false);
    }
    return text;
}

// One signed exchange through the attempt loop: sends, reads the status, the wanted headers and
// the whole (small) body of whatever the store answers.
Answer Exchange(const Endpoint& endpoint, HttpVerb verb, bool headOnly, const std::string& path,
                const Query& query, const Headers& headers, std::string_view body,
                const std::vector<std::string>& wantedHeaders,
                std::size_t maxBody = std::numeric_limits<std::size_t>::max()) {
    HttpCall call;
    call.endpoint = endpoint;
    call.path = ToUtf16(path + QueryText(query));
    call.verb = verb;
    call.headOnly = headOnly;
    for (const auto& [name, value] : headers) call.headers.push_back(ToUtf16(name + ": " + value));
    call.body = std::string(body);
    call.maxBody = maxBody;
    call.wantedHeaders = wantedHeaders;
    call.retry.maxAttempts = kAttempts;
    call.retry.answersAreFinal = true;

    Answer answer;
    const ResponseReader reader = [&answer](ResponseBody& response) {
        answer.body.clear();
        char buffer[16384];
        while (const std::size_t n = response.Read(buffer, sizeof buffer))
            answer.body.append(buffer, n);
        return true;
    };
    HttpOutcome outcome;
    PerformHttpCall(call, reader, &outcome);
    answer.status = outcome.status.value_or(0);
    answer.headers = outcome.headers;
    if (!outcome.error.empty()) {
        answer.transportError = "transfer failed: " + outcome.error;
        if (outcome.error.find("longer than") != std::string::npos) answer.body.clear();
    } else if (!outcome.status) {
        answer.transportError = "no connection to " + ToUtf8(endpoint.host);
    }
    return answer;
}

}  // namespace

std::string HttpDate(std::int64_t unixSeconds) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t time = static_cast<std::time_t>(unixSeconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                  utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                  utc.tm_sec);
    return text;
}

std::string BlobStringToSign(const std::string& account, const SignedRequest& request) {
    const std::string length = HeaderValue(request.headers, "Content-Length");
    std::string text = request.verb + "\n";
    for (const char* name : {"Content-Encoding", "Content-Language"})
        text += HeaderValue(request.headers, name) + "\n";
    text += (length == "0" ? std::string() : length) + "\n";
    for (const char* name : {"Content-MD5", "Content-Type", "Date", "If-Modified-Since", "If-Match",
                             "If-None-Match", "If-Unmodified-Since", "Range"})
        text += HeaderValue(request.headers, name) + "\n";

    Headers canonical;
    for (const auto& [name, value] : request.headers) {
        const std::string key = Lower(name);
        if (key.rfind("x-ms-", 0) == 0) canonical.emplace_back(key, value);
    }
    std::sort(canonical.begin(), canonical.end());
    for (const auto& [name, value] : canonical) text += name + ":" + value + "\n";

    text += "/" + account + request.path;
    Query query;
    for (const auto& [name, value] : request.query) query.emplace_back(Lower(name), value);
    std::sort(query.begin(), query.end());
    for (std::size_t i = 0; i < query.size(); ++i) {
        if (i > 0 && query[i].first == query[i - 1].first) {
            text += "," + query[i].second;
        } else {
            text += "\n" + query[i].first + ":" + query[i].second;
        }
    }
    return text;
}

std::string SharedKeyAuthorization(const std::string& scheme, const std::string& account,
                                   const std::string& key, const std::string& stringToSign) {
    return scheme + " " + account + ":" + Base64Encode(HmacSha256(Base64Decode(key), stringToSign));
}

std::optional<StoreAccount> StoreAccountFromEnvironment() {
    const char* name = std::getenv("SETUP_PUBLISHER_ACCOUNT");
    const char* key = std::getenv("SETUP_PUBLISHER_ACCOUNT_KEY");
    if (!name || !*name || !key || !*key) return std::nullopt;
    return StoreAccount{name, key, ConfiguredDownloadEndpoint(), ConfiguredTableEndpoint()};
}

BlobStoreClient::BlobStoreClient(StoreAccount account) : mAccount(std::move(account)) {}

namespace {

// Signs and sends one blob request. headers must not carry Content-Length: the transport sets it
// from the body, and it is signed from there.
Answer BlobRequest(const StoreAccount& account, HttpVerb verb, bool headOnly,
                   const std::string& path, const Query& query, Headers headers,
                   std::string_view body, const std::vector<std::string>& wantedHeaders = {},
                   std::size_t maxBody = std::numeric_limits<std::size_t>::max()) {
    headers.emplace_back("x-ms-date", HttpDate(std::time(nullptr)));
    headers.emplace_back("x-ms-version", kBlobVersion);
    SignedRequest request;
    request.verb = headOnly ? "HEAD"
                            : (verb == HttpVerb::Get      ? "GET"
                               : verb == HttpVerb::Put    ? "PUT"
                               : verb == HttpVerb::Delete ? "DELETE"
                                                          : "POST");
    request.path = path;
    request.query = query;
    request.headers = headers;
    if (verb != HttpVerb::Get)
        request.headers.emplace_back("Content-Length", std::to_string(body.size()));
    headers.emplace_back("Authorization",
                         SharedKeyAuthorization("SharedKey", account.name, account.key,
                                                BlobStringToSign(account.name, request)));
    return Exchange(account.blob, verb, headOnly, path, query, headers, body, wantedHeaders,
                    maxBody);
}

std::string BlobPath(const std::string& container, const std::string& name) {
    return "/" + PercentEncode(container, false) +
           (name.empty() ? "" : "/" + PercentEncode(name, true));
}

}  // namespace

StoreResult BlobStoreClient::CreateContainer(const std::string& container) {
    const Headers access = {{"x-ms-blob-public-access", "blob"}};
    const std::string path = BlobPath(container, "");
    const Answer created =
        BlobRequest(mAccount, HttpVerb::Put, false, path, {{"restype", "container"}}, access, "");
    if (created.status == 201) return Result(created, true);
    if (created.status != 409) return Result(created, false);
    // It exists already: make sure anyone may read its blobs.
    const Answer acl = BlobRequest(mAccount, HttpVerb::Put, false, path,
                                   {{"restype", "container"}, {"comp", "acl"}}, access, "");
    return Result(acl, acl.status == 200);
}

StoreResult BlobStoreClient::PutBlob(const std::string& container, const std::string& name,
                                     std::string_view content, const std::string& contentType) {
    const Answer answer =
        BlobRequest(mAccount, HttpVerb::Put, false, BlobPath(container, name), {},
                    {{"x-ms-blob-type", "BlockBlob"}, {"Content-Type", contentType}}, content);
    return Result(answer, answer.status == 201);
}

StoreResult BlobStoreClient::PutBlobFromFile(const std::string& container, const std::string& name,
                                             const std::filesystem::path& file,
                                             const std::string& contentType,
                                             const Progress& progress, std::uint64_t blockSize) {
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(file, error);
    std::ifstream in(file, std::ios::binary);
    if (error || !in) return StoreResult{false, 0, "cannot read " + file.string()};
    if (blockSize == 0) blockSize = kDefaultBlockSize;

    std::string block;
    if (size <= blockSize) {
        block.resize(static_cast<std::size_t>(size));
        if (!in.read(block.data(), static_cast<std::streamsize>(size)))
            return StoreResult{false, 0, "cannot read " + file.string()};
        StoreResult result = PutBlob(container, name, block, contentType);
        if (result.ok && progress) progress(size, size);
        return result;
    }

    const std::string path = BlobPath(container, name);
    std::string blockList = "<?xml version=\"1.0\" encoding=\"utf-8\"?><BlockList>";
    std::uint64_t sent = 0;
    for (unsigned index = 0; sent < size; ++index) {
        const auto length = static_cast<std::size_t>(std::min(blockSize, size - sent));
        block.resize(length);
        if (!in.read(block.data(), static_cast<std::streamsize>(length)))
            return StoreResult{false, 0, "cannot read " + file.string()};
        char idText[32];
        std::snprintf(idText, sizeof idText, "block-%08u", index);  // every id has the same length
        const std::string id = Base64Encode(idText);
        const Answer answer = BlobRequest(mAccount, HttpVerb::Put, false, path,
                                          {{"comp", "block"}, {"blockid", id}}, {}, block);
        if (answer.status != 201) return Result(answer, false);
        blockList += "<Latest>" + id + "</Latest>";
        sent += length;
        if (progress) progress(sent, size);
    }
    blockList += "</BlockList>";
    const Answer committed = BlobRequest(
        mAccount, HttpVerb::Put, false, path, {{"comp", "blocklist"}},
        {{"x-ms-blob-content-type", contentType}, {"Content-Type", "application/xml"}}, blockList);
    return Result(committed, committed.status == 201);
}

std::optional<BlobProperties> BlobStoreClient::GetBlobProperties(const std::string& container,
                                                                 const std::string& name,
                                                                 StoreResult* result) {
    const Answer answer =
        BlobRequest(mAccount, HttpVerb::Get, true, BlobPath(container, name), {}, {}, "",
                    {"Content-Length", "Content-Type", "Content-MD5", "ETag"});
    if (result) *result = Result(answer, answer.status == 200);
    if (answer.status != 200) return std::nullopt;
    BlobProperties properties;
    properties.size =
        std::strtoull(HeaderValue(answer.headers, "Content-Length").c_str(), nullptr, 10);
    properties.contentType = HeaderValue(answer.headers, "Content-Type");
    properties.contentMd5 = HeaderValue(answer.headers, "Content-MD5");
    properties.etag = HeaderValue(answer.headers, "ETag");
    return properties;
}

std::optional<std::string> BlobStoreClient::GetBlob(const std::string& container,
                                                    const std::string& name, std::size_t maxBytes,
                                                    StoreResult* result) {
    const Answer answer = BlobRequest(mAccount, HttpVerb::Get, false, BlobPath(container, name), {},
                                      {}, "", {}, maxBytes);
    const bool ok = answer.status == 200 && answer.transportError.empty();
    if (result) *result = Result(answer, ok);
    if (!ok) return std::nullopt;
    return answer.body;
}

StoreResult BlobStoreClient::DeleteBlob(const std::string& container, const std::string& name) {
    const Answer answer =
        BlobRequest(mAccount, HttpVerb::Delete, false, BlobPath(container, name), {}, {}, "");
    return Result(answer, answer.status == 202 || answer.status == 404);
}

StoreResult BlobStoreClient::CreateTable(const std::string& table) {
    const std::string date = HttpDate(std::time(nullptr));
    const std::string signature = SharedKeyAuthorization(
        "SharedKeyLite", mAccount.name, mAccount.key, date + "\n/" + mAccount.name + "/Tables");
    const Headers headers = {{"x-ms-date", date},
                             {"x-ms-version", kTableVersion},
                             {"Content-Type", "application/json"},
                             {"Accept", "application/json;odata=nometadata"},
                             {"DataServiceVersion", "3.0;NetFx"},
                             {"MaxDataServiceVersion", "3.0;NetFx"},
                             {"Prefer", "return-no-content"},
                             {"Authorization", signature}};
    const std::string body = "{\"TableName\":\"" + table + "\"}";
    const Answer answer =
        Exchange(mAccount.table, HttpVerb::Post, false, "/Tables", {}, headers, body, {});
    return Result(answer, answer.status == 201 || answer.status == 204 || answer.status == 409);
}

std::string TableSharedKeyStringToSign(const std::string& verb, const std::string& contentType,
                                       const std::string& date, const std::string& account,
                                       const std::string& path) {
    return verb + "\n\n" + contentType + "\n" + date + "\n/" + account + path;
}

TableStoreClient::TableStoreClient(TableAccess access) : mAccess(std::move(access)) {}

namespace {

// The headers of a table request, with the SharedKey signature unless a SAS token authorises it.
Headers TableHeaders(const TableAccess& access, const std::string& verb, const std::string& path,
                     const std::string& contentType) {
    const std::string date = HttpDate(std::time(nullptr));
    Headers headers = {{"x-ms-date", date},
                       {"x-ms-version", kTableVersion},
                       {"Accept", "application/json;odata=nometadata"},
                       {"DataServiceVersion", "3.0;NetFx"},
                       {"MaxDataServiceVersion", "3.0;NetFx"}};
    if (!contentType.empty()) headers.emplace_back("Content-Type", contentType);
    if (access.sasToken.empty()) {
        headers.emplace_back(
            "Authorization",
            SharedKeyAuthorization(
                "SharedKey", access.account, access.key,
                TableSharedKeyStringToSign(verb, contentType, date, access.account, path)));
    }
    return headers;
}

// The request target's query: the given parameters (encoded here), then the SAS token as it is.
std::string TableQueryText(const TableAccess& access, const Query& query) {
    std::string text;
    for (const auto& [name, value] : query) {
        text += text.empty() ? "?" : "&";
        text += name + "=" + PercentEncode(value, false);
    }
    if (!access.sasToken.empty()) text += (text.empty() ? "?" : "&") + access.sasToken;
    return text;
}

}  // namespace

TableQueryPage TableStoreClient::QueryEntities(const std::string& table, const std::string& filter,
                                               const TableContinuation& from, std::size_t maxBody) {
    const std::string path = "/" + PercentEncode(table, false) + "()";
    Query query;
    if (!filter.empty()) query.emplace_back("$filter", filter);
    if (!from.nextPartitionKey.empty())
        query.emplace_back("NextPartitionKey", from.nextPartitionKey);
    if (!from.nextRowKey.empty()) query.emplace_back("NextRowKey", from.nextRowKey);
    const Answer answer =
        Exchange(mAccess.table, HttpVerb::Get, false, path + TableQueryText(mAccess, query), {},
                 TableHeaders(mAccess, "GET", path, ""), "",
                 {"x-ms-continuation-NextPartitionKey", "x-ms-continuation-NextRowKey"}, maxBody);
    TableQueryPage page;
    page.result = Result(answer, answer.status == 200 && answer.transportError.empty());
    if (!page.result.ok) return page;
    page.body = answer.body;
    page.next.nextPartitionKey = HeaderValue(answer.headers, "x-ms-continuation-NextPartitionKey");
    page.next.nextRowKey = HeaderValue(answer.headers, "x-ms-continuation-NextRowKey");
    return page;
}

StoreResult TableStoreClient::InsertEntity(const std::string& table,
                                           const std::string& entityJson) {
    const std::string path = "/" + PercentEncode(table, false);
    Headers headers = TableHeaders(mAccess, "POST", path, "application/json");
    headers.emplace_back("Prefer", "return-no-content");
    const Answer answer = Exchange(mAccess.table, HttpVerb::Post, false,
                                   path + TableQueryText(mAccess, {}), {}, headers, entityJson, {});
    return Result(answer, answer.status == 201 || answer.status == 204);
}
