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

constexpr std::size_t kReadBufferSize = 524288;
constexpr std::uint32_t kPumpBudget = 10;

std::mutex gLimitsMutex;
HttpTimeLimits gLimits;

bool IsSuccessStatus(int status, HttpVerb verb) {
    if (status == 200 || status == 206) return true;
    // The table store answers an insert with 201 (or 204 without echo), the blob store a put with
    // 201: those requests have succeeded and must not be sent again.
    return verb != HttpVerb::Get && (status == 201 || status == 204);
}

std::string RangeHeader(const ByteRange& range) {
    char line[96];
    std::snprintf(line, sizeof line, "Range: bytes=%" PRIu64 "-%" PRIu64, range.first, range.last);
    return line;
}

enum class Next { AttemptAgain, Stop };

// What one failed attempt means for the loop. Certificate problems end it at once: a server that
// cannot prove who it is never gets a second chance to hand us an index or a package.
Next Classify(const TransferError& error, int status, HttpExchange& exchange, int& proxyPrompts) {
    if (error.Kind() == TransferErrorKind::ForceRetry) return Next::AttemptAgain;
    if (status == 407) {
        ++proxyPrompts;
        // The first time silently, then (and from then on) asking the user.
        bool retry = exchange.ProxyCredentialsStep(proxyPrompts != 1);
        if (!retry && proxyPrompts == 1) retry = exchange.ProxyCredentialsStep(true);
        return retry ? Next::AttemptAgain : Next::Stop;
    }
    switch (error.Kind()) {
        case TransferErrorKind::RevocationUnknown:
            exchange.WaiveRevocationCheck();
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

std::uint16_t EffectivePort(const Endpoint& endpoint) {
    if (endpoint.port != 0) return endpoint.port;
    return endpoint.secure ? 443 : 80;
}

std::uint64_t BodyBound(const std::optional<ByteRange>& range, std::uint64_t maxBody) {
    if (!range || range->last < range->first) return maxBody;
    const std::uint64_t span = range->last - range->first;
    // A range over every byte a 64-bit offset can name is as unbounded as no range.
    if (span == std::numeric_limits<std::uint64_t>::max()) return maxBody;
    return std::min(span + 1, maxBody);
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

bool PerformHttpCall(const HttpCall& call, const ResponseReader& reader, HttpOutcome* outcome) {
    HttpOutcome ignored;
    HttpOutcome& result = outcome ? *outcome : ignored;
    result = HttpOutcome();
    if (call.endpoint.host.empty() || call.path.empty()) return false;

    HttpTarget target;
    target.server = ToUtf8(call.endpoint.host);
    target.port = EffectivePort(call.endpoint);
    target.secure = call.endpoint.secure;
    target.verb = call.verb;
    target.path = ToUtf8(call.path);
    target.headOnly = call.headOnly;

    std::unique_ptr<HttpExchange> exchange;
    try {
        exchange = OpenHttpExchange(target);
    } catch (const TransferError&) {
        return false;
    }
    if (!exchange) return false;

    const HttpVerb verb = call.verb;
    const std::uint64_t limit = BodyBound(call.range, call.maxBody);
    int status = 0;
    bool done = false;
    bool readerFailed = false;
    int proxyPrompts = 0;
    for (int attempt = 0;
         !done && !IsSuccessStatus(status, verb) && attempt < call.retry.maxAttempts; ++attempt) {
        result.error.clear();
        try {
            if (call.range) exchange->AddHeaderIfNew(RangeHeader(*call.range));
            exchange->AddHeaderIfNew("Accept-Encoding: gzip, deflate");
            exchange->EnableContentDecoding();
            for (const auto& header : call.headers) exchange->AddHeaderIfNew(ToUtf8(header));

            if (!call.body.empty() && verb != HttpVerb::Get)
                exchange->Send(std::string_view(call.body));
            else
                exchange->Send(std::nullopt);

            status = exchange->StatusCode().value_or(status);
            const bool final = call.retry.answersAreFinal && status != 0;
            if (IsSuccessStatus(status, verb) || final) {
                result.headers.clear();
                for (const std::string& name : call.wantedHeaders)
                    if (auto value = exchange->ResponseHeader(name))
                        result.headers.emplace_back(name, *value);
                BoundedBody bounded(*exchange, limit);
                readerFailed = !reader(bounded);
                if (readerFailed || final) done = true;
            }
        } catch (const TransferError& error) {
            result.error = error.what();
            // No status, or the 0 a platform reports before any answer arrived.
            result.connectionFailed =
                error.Kind() == TransferErrorKind::Other && exchange->StatusCode().value_or(0) == 0;
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
            if (call.retry.answersAreFinal && error.Kind() != TransferErrorKind::Timeout &&
                error.Kind() != TransferErrorKind::ForceRetry)
                done = true;
        }
    }
    if (status != 0) result.status = status;
    if (result.status) result.connectionFailed = false;
    return IsSuccessStatus(status, verb) && !readerFailed;
}

bool HttpRequest(const std::u16string& server, const std::u16string& path, bool secure,
                 std::uint16_t port, const ResponseReader& reader, HttpVerb verb,
                 const std::vector<std::u16string>& headers, std::optional<ByteRange> range,
                 const std::string& body, std::uint64_t maxBody) {
    HttpCall call;
    call.endpoint = Endpoint{server, port, secure};
    call.path = path;
    call.verb = verb;
    call.range = range;
    call.headers = headers;
    call.body = body;
    call.maxBody = maxBody;
    return PerformHttpCall(call, reader);
}

bool HttpGet(const std::u16string& server, const std::u16string& path, bool secure,
             std::uint16_t port, const ResponseReader& reader, std::optional<ByteRange> range,
             std::uint64_t maxBody) {
    return HttpRequest(server, path, secure, port, reader, HttpVerb::Get, {}, range, std::string(),
                       maxBody);
}

bool HttpGetText(const std::u16string& server, const std::u16string& path, std::string& out,
                 std::optional<ByteRange> range, bool secure, std::uint16_t port,
                 std::uint64_t maxBody) {
    return HttpGet(server, path, secure, port, AppendBody(out), range, maxBody);
}

bool HttpPost(const std::u16string& server, const std::u16string& path, bool secure,
              std::uint16_t port, const std::vector<std::u16string>& headers,
              const std::string& body) {
    // The body stays unread; the exchange is closed with it, so its connection is not reused.
    const ResponseReader ignoreBody = [](ResponseBody&) { return true; };
    return HttpRequest(server, path, secure, port, ignoreBody, HttpVerb::Post, headers,
                       std::nullopt, body);
}
