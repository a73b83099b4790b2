// The attempt loop, the body readers and the classification of transfer errors, written once over
// the platform transport of http_transport.h.
#include "net/http_transfer.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <mutex>

#include "core/message_pump.h"
#include "core/product_identity.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "net/http_transport.h"

namespace {

constexpr int kMaxAttempts = 15;
constexpr std::size_t kReadBufferSize = 524288;
constexpr std::uint32_t kPumpBudget = 10;

// Flags of the proxy-credentials step: change options, generate data, and (first time) no UI.
constexpr std::uint32_t kCredentialsFlagsSilent = 14;
constexpr std::uint32_t kCredentialsFlagsInteractive = 6;

std::mutex gLimitsMutex;
HttpTimeLimits gLimits;

bool IsSuccessStatus(int status, HttpVerb verb) {
    if (status == 200 || status == 206) return true;
    // The table store answers an insert with 201 (or 204 without echo), the blob store a put with
    // 201: those requests have succeeded and must not be sent again.
    return verb != HttpVerb::Get && (status == 201 || status == 204);
}

std::string RangeHeader(std::int64_t from, std::int64_t to) {
    char line[96];
    std::snprintf(line, sizeof line, "Range: bytes=%" PRId64 "-%" PRId64, from, to);
    return line;
}

enum class Next { AttemptAgain, Stop };

// What one failed attempt means for the loop. Certificate problems end it at once: a server that
// cannot prove who it is never gets a second chance to hand us an index or a package.
Next Classify(const TransferError& error, int status, HttpExchange& exchange, int& proxyPrompts) {
    if (error.Kind() == TransferErrorKind::ForceRetry) return Next::AttemptAgain;
    if (status == 407) {
        ++proxyPrompts;
        bool retry = exchange.ProxyCredentialsStep(
            proxyPrompts == 1 ? kCredentialsFlagsSilent : kCredentialsFlagsInteractive);
        if (!retry && proxyPrompts == 1)
            retry = exchange.ProxyCredentialsStep(kCredentialsFlagsInteractive);
        return retry ? Next::AttemptAgain : Next::Stop;
    }
    switch (error.Kind()) {
        case TransferErrorKind::RevocationUnknown:
            exchange.SetSecurityFlags(exchange.SecurityFlags() | kSecurityIgnoreRevocation);
            return Next::AttemptAgain;
        case TransferErrorKind::Timeout:
        case TransferErrorKind::BodyTooLarge:
        case TransferErrorKind::RedirectRefused:
            return Next::AttemptAgain;
        default:
            return Next::Stop;
    }
}

bool ReadWholeBody(ResponseBody& body, std::string* out) {
    std::unique_ptr<char[]> buffer(new char[kReadBufferSize]);
    const std::size_t before = out ? out->size() : 0;
    try {
        for (;;) {
            PumpMessages(kPumpBudget);
            const std::size_t n = body.Read(buffer.get(), kReadBufferSize);
            PumpMessages(kPumpBudget);
            if (out) out->append(buffer.get(), n);
            PumpMessages(kPumpBudget);
            if (n == 0) return true;
        }
    } catch (const TransferError& error) {
        // A body past its bound is never kept; one cut off early is, for the caller to check.
        if (out && error.Kind() == TransferErrorKind::BodyTooLarge) out->resize(before);
        throw;
    }
}

// The response as the reader sees it: at most limit bytes. It asks the transport for one byte
// more than may still come, so a body that goes on past its bound fails at once, having held no
// more than the bound.
class BoundedBody final : public ResponseBody {
  public:
    BoundedBody(ResponseBody& inner, std::uint64_t limit) : mInner(inner), mLimit(limit) {}

    std::size_t Read(char* buffer, std::size_t capacity) override {
        const std::uint64_t left = mLimit - mCount;
        if (left < capacity) capacity = static_cast<std::size_t>(left + 1);
        const std::size_t n = mInner.Read(buffer, capacity);
        mCount += n;
        if (mCount > mLimit)
            throw TransferError(TransferErrorKind::BodyTooLarge,
                                "the body is longer than " + std::to_string(mLimit) + " bytes");
        return n;
    }

  private:
    ResponseBody& mInner;
    std::uint64_t mLimit;
    std::uint64_t mCount = 0;
};

}  // namespace

bool IsFollowedRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string UserAgentName() {
    const std::u16string path = OwnModulePath();
    const std::size_t slash = path.find_last_of(u"\\/");
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind(u'.');
    if (dot != std::u16string::npos && dot > 0) name.resize(dot);
    return name.empty() ? std::string("setup-launcher") : ToUtf8(name);
}

std::uint64_t BodyBound(std::int64_t from, std::int64_t to, std::uint64_t maxBody) {
    if ((from == 0 && to == 0) || to < from) return maxBody;
    const std::uint64_t length =
        static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from) + 1;
    return std::min(length, maxBody);
}

HttpTimeLimits CurrentHttpTimeLimits() {
    std::lock_guard lock(gLimitsMutex);
    return gLimits;
}

void SetHttpTimeLimits(const HttpTimeLimits& limits) {
    std::lock_guard lock(gLimitsMutex);
    gLimits = limits;
}

std::string RequestTarget(std::string_view path) {
    if (!path.empty() && path.front() == '/') return std::string(path);
    return "/" + std::string(path);
}

bool HeaderHasName(std::string_view line, std::string_view name) {
    const auto colon = line.find(':');
    std::string_view lineName = line.substr(0, colon);
    while (!lineName.empty() && (lineName.back() == ' ' || lineName.back() == '\t'))
        lineName.remove_suffix(1);
    if (lineName.size() != name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(lineName[i])) !=
            std::tolower(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

ResponseReader AppendBody(std::string& out) {
    return [&out](ResponseBody& body) { return ReadWholeBody(body, &out); };
}

ResponseReader DiscardBody() {
    return [](ResponseBody& body) { return ReadWholeBody(body, nullptr); };
}

namespace {

// The attempt loop; finalStatus receives the status of the last answer (0 when none came).
bool RequestWithStatus(const std::u16string& server, const std::u16string& path, bool secure,
                       std::uint16_t port, const ResponseReader& reader, HttpVerb verb,
                       const std::vector<std::u16string>& headers, std::int64_t from,
                       std::int64_t to, const std::string& body, std::uint64_t maxBody,
                       int& finalStatus) {
    finalStatus = 0;
    if (server.empty() || path.empty()) return false;

    HttpTarget target;
    target.server = ToUtf8(server);
    target.port = port != 0 ? port : (secure ? 443 : 80);
    target.secure = secure;
    target.verb = verb;
    target.path = ToUtf8(path);

    std::unique_ptr<HttpExchange> exchange;
    try {
        exchange = OpenHttpExchange(target);
    } catch (const TransferError&) {
        return false;
    }
    if (!exchange) return false;

    const std::uint64_t limit = BodyBound(from, to, maxBody);
    int status = 0;
    bool done = false;
    bool readerFailed = false;
    int proxyPrompts = 0;
    for (int attempt = 0; !done && !IsSuccessStatus(status, verb) && attempt < kMaxAttempts;
         ++attempt) {
        try {
            if (from != 0 || to != 0) exchange->AddHeaderIfNew(RangeHeader(from, to));
            exchange->AddHeaderIfNew("Accept-Encoding: gzip, deflate");
            exchange->EnableContentDecoding();
            for (const auto& header : headers) exchange->AddHeaderIfNew(ToUtf8(header));

            if (!body.empty() && verb != HttpVerb::Get)
                exchange->Send(std::string_view(body));
            else
                exchange->Send(std::nullopt);

            status = exchange->StatusCode().value_or(status);
            if (IsSuccessStatus(status, verb)) {
                BoundedBody bounded(*exchange, limit);
                readerFailed = !reader(bounded);
                if (readerFailed) done = true;
            }
        } catch (const TransferError& error) {
            // An error while the body is read leaves the success status in place: the loop ends
            // and the caller checks the part that arrived. A body past its bound or a refused
            // redirect fails the attempt instead.
            status = exchange->StatusCode().value_or(status);
            if (error.Kind() == TransferErrorKind::BodyTooLarge ||
                error.Kind() == TransferErrorKind::RedirectRefused) {
                LOG_RECORD("attempt " + std::to_string(attempt + 1) + " for " + target.path +
                           " failed: " + error.what());
                status = 0;
            }
            if (Classify(error, status, *exchange, proxyPrompts) == Next::Stop) done = true;
        }
    }
    finalStatus = status;
    return IsSuccessStatus(status, verb) && !readerFailed;
}

}  // namespace

bool HttpRequest(const std::u16string& server, const std::u16string& path, bool secure,
                 std::uint16_t port, const ResponseReader& reader, HttpVerb verb,
                 const std::vector<std::u16string>& headers, std::int64_t from, std::int64_t to,
                 const std::string& body, std::uint64_t maxBody) {
    int status = 0;
    return RequestWithStatus(server, path, secure, port, reader, verb, headers, from, to, body,
                             maxBody, status);
}

bool HttpGetWithStatus(const std::u16string& server, const std::u16string& path, bool secure,
                       std::uint16_t port, const ResponseReader& reader, std::uint64_t maxBody,
                       int& finalStatus) {
    return RequestWithStatus(server, path, secure, port, reader, HttpVerb::Get, {}, 0, 0,
                             std::string(), maxBody, finalStatus);
}

bool HttpGet(const std::u16string& server, const std::u16string& path, bool secure,
             std::uint16_t port, const ResponseReader& reader, std::int64_t from, std::int64_t to,
             std::uint64_t maxBody) {
    return HttpRequest(server, path, secure, port, reader, HttpVerb::Get, {}, from, to,
                       std::string(), maxBody);
}

bool HttpGetText(const std::u16string& server, const std::u16string& path, std::string& out,
                 std::int64_t from, std::int64_t to, bool secure, std::uint16_t port,
                 std::uint64_t maxBody) {
    return HttpGet(server, path, secure, port, AppendBody(out), from, to, maxBody);
}

bool HttpGetRange(const std::u16string& server, const std::u16string& path,
                  const ResponseReader& reader, std::int64_t first, std::int64_t last, bool secure,
                  std::uint16_t port) {
    const std::uint64_t length =
        last >= first ? static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(first) + 1
                      : 0;
    return HttpRequest(server, path, secure, port, reader, HttpVerb::Get,
                       {ToUtf16(RangeHeader(first, last))}, 0, 0, std::string(), length);
}

bool HttpPost(const std::u16string& server, const std::u16string& path, bool secure,
              std::uint16_t port, const std::vector<std::u16string>& headers,
              const std::string& body) {
    // The body stays unread; the exchange is closed with it, so its connection is not reused.
    const ResponseReader ignoreBody = [](ResponseBody&) { return true; };
    return HttpRequest(server, path, secure, port, ignoreBody, HttpVerb::Post, headers, 0, 0, body);
}
