// The HTTP transport over WinINet. Every exchange opens its own internet handle, connection and
// request and closes them in reverse order when it ends; the request handle is sent again for each
// attempt, keeping the headers it was given. Certificates are checked fully (authority, host name,
// validity dates); only a failed revocation check can be waived, by the attempt loop.
#include <windows.h>

#include <wininet.h>

#include <algorithm>
#include <vector>

#include "core/text_conversion.h"
#include "core/win32_support.h"
#include "net/http_transport.h"

namespace {

constexpr DWORD_PTR kContext = 1;
// Connections WinINet opens to one server at once. Its default of two (HTTP/1.1) would hold the
// download's connection pool back; this leaves room for the pool and a request beside it.
constexpr DWORD kConnectionsPerServer = 16;
// The most bytes one InternetReadFile or InternetWriteFile call is asked to move.
constexpr DWORD kLargestPiece = 0x40000000;

// Security flags that would switch off a part of the certificate check. A request is never
// widened by them, whatever a caller asks for.
constexpr DWORD kRefusedSecurityFlags =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_WRONG_USAGE |
    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
    SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS;

// The error-dialog flags of the proxy-credentials step: change options and generate data, silent
// the first time.
constexpr DWORD kCredentialsFlagsInteractive =
    FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
constexpr DWORD kCredentialsFlagsSilent = kCredentialsFlagsInteractive | FLAGS_ERROR_UI_FLAGS_NO_UI;

struct InternetHandleCloser {
    void operator()(void* handle) const { InternetCloseHandle(static_cast<HINTERNET>(handle)); }
};
using InternetHandle = std::unique_ptr<void, InternetHandleCloser>;

TransferErrorKind KindOf(DWORD error) {
    switch (error) {
        case ERROR_INTERNET_FORCE_RETRY:
            return TransferErrorKind::ForceRetry;
        case ERROR_INTERNET_TIMEOUT:
            return TransferErrorKind::Timeout;
        case ERROR_INTERNET_INVALID_CA:
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        case ERROR_INTERNET_SEC_CERT_ERRORS:
        case ERROR_INTERNET_SEC_INVALID_CERT:
        case ERROR_INTERNET_SEC_CERT_REVOKED:
            return TransferErrorKind::CertificateRejected;
        case ERROR_INTERNET_SEC_CERT_NO_REV:
        case ERROR_INTERNET_SEC_CERT_REV_FAILED:
            return TransferErrorKind::RevocationUnknown;
        default:
            return TransferErrorKind::Other;
    }
}

[[noreturn]] void ThrowLastError(const char* step) {
    const DWORD error = GetLastError();
    throw TransferError(KindOf(error),
                        std::string(step) + " failed with WinINet error " + std::to_string(error));
}

const wchar_t* VerbOf(const HttpTarget& target) {
    switch (target.verb) {
        case HttpVerb::Post:
            return L"POST";
        case HttpVerb::Put:
            return L"PUT";
        case HttpVerb::Delete:
            return L"DELETE";
        case HttpVerb::Get:
            break;
    }
    return target.headOnly ? L"HEAD" : L"GET";
}

void SetTimeout(HINTERNET handle, DWORD option, std::chrono::milliseconds limit) {
    DWORD milliseconds = static_cast<DWORD>(
        std::clamp<long long>(limit.count(), 1, static_cast<long long>(0x7fffffff)));
    InternetSetOptionW(handle, option, &milliseconds, sizeof milliseconds);
}

// Connect, send and receive time-outs: a connection that makes no progress for the stall limit
// fails with ERROR_INTERNET_TIMEOUT, which the attempt loop retries.
void ApplyTimeLimits(HINTERNET handle, const HttpTimeLimits& limits) {
    SetTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, limits.connect);
    SetTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, limits.stall);
    SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, limits.stall);
    SetTimeout(handle, INTERNET_OPTION_DATA_SEND_TIMEOUT, limits.stall);
    SetTimeout(handle, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, limits.stall);
}

// Always from the origin, never into the cache, no redirects followed by WinINet itself: the
// exchange follows them under the rule that every platform keeps.
DWORD RequestFlags(bool secure) {
    DWORD flags =
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (secure)
        flags |= INTERNET_FLAG_SECURE | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_CACHE_ASYNC;
    return flags;
}

InternetHandle OpenConnection(HINTERNET session, const HttpTarget& target) {
    const std::u16string server = ToUtf16(target.server);
    return InternetHandle(InternetConnectW(session, Wide(server), target.port, nullptr, nullptr,
                                           INTERNET_SERVICE_HTTP, 0, kContext));
}

InternetHandle OpenRequest(HINTERNET connection, const HttpTarget& target) {
    const std::u16string object = ToUtf16(RequestTarget(target.path));
    return InternetHandle(HttpOpenRequestW(connection, VerbOf(target), Wide(object), nullptr,
                                           nullptr, nullptr, RequestFlags(target.secure),
                                           kContext));
}

// Where a redirect leads: an absolute URL (which must be HTTPS) or a path on the same server.
HttpTarget RedirectTarget(const HttpTarget& from, const std::string& location) {
    HttpTarget to = from;
    if (!location.empty() && location.front() == '/' &&
        (location.size() < 2 || location[1] != '/')) {
        to.path = location;
        return to;
    }
    const std::u16string url = ToUtf16(location);
    std::vector<wchar_t> host(1024), path(8192), extra(8192);
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = static_cast<DWORD>(host.size());
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = static_cast<DWORD>(path.size());
    parts.lpszExtraInfo = extra.data();
    parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    if (InternetCrackUrlW(Wide(url), static_cast<DWORD>(url.size()), 0, &parts) == FALSE)
        throw TransferError(TransferErrorKind::RedirectRefused,
                            "redirect to a location that cannot be read: " + location);
    if (parts.nScheme != INTERNET_SCHEME_HTTPS)
        throw TransferError(TransferErrorKind::RedirectRefused,
                            "redirect to a location that is not HTTPS: " + location);
    to.secure = true;
    to.server = ToUtf8(FromWide(host.data(), parts.dwHostNameLength));
    to.port = parts.nPort != 0 ? parts.nPort : 443;
    to.path = ToUtf8(FromWide(path.data(), parts.dwUrlPathLength) +
                     FromWide(extra.data(), parts.dwExtraInfoLength));
    if (to.path.empty()) to.path = "/";
    return to;
}

class WinInetExchange final : public HttpExchange {
  public:
    WinInetExchange(const HttpTarget& target, const HttpTimeLimits& limits, InternetHandle session,
                    InternetHandle connection, InternetHandle request)
        : mTarget(target),
          mLimits(limits),
          mSession(std::move(session)),
          mConnection(std::move(connection)),
          mRequest(std::move(request)) {}

    ~WinInetExchange() override {
        // Request, then connection, then the internet handle.
        mRequest.reset();
        mConnection.reset();
        mSession.reset();
    }

    void AddHeaderIfNew(std::string_view line) override {
        const std::string_view name = line.substr(0, line.find(':'));
        bool present = false;
        for (const auto& kept : mHeaderLines) present = present || HeaderHasName(kept, name);
        if (!present) mHeaderLines.emplace_back(line);
        AddHeader(line);
    }

    void EnableContentDecoding() override {
        mDecode = true;
        BOOL decode = TRUE;
        InternetSetOptionW(Request(), INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
    }

    void Send(std::optional<std::string_view> body) override {
        // Every attempt starts at the first server again, and a body left unread (past its bound,
        // or cut off) is never drained: its connection goes.
        if (mRedirected || mBodyUnfinished) Reopen(mTarget);
        mBodyUnfinished = false;
        SendOnce(body);
        if (mTarget.verb != HttpVerb::Get) return;  // a POST or PUT follows no redirect
        HttpTarget current = mTarget;
        for (int hops = 0;; ++hops) {
            const std::optional<int> status = StatusCode();
            if (!status || !IsFollowedRedirect(*status)) return;
            const std::optional<std::string> location = ResponseHeader("Location");
            if (!location) return;
            if (hops == kMaxRedirects)
                throw TransferError(TransferErrorKind::RedirectRefused,
                                    "more than " + std::to_string(kMaxRedirects) + " redirects");
            current = RedirectTarget(current, *location);
            Reopen(current);
            SendOnce(std::nullopt);
        }
    }

  private:
    void AddHeader(std::string_view line) {
        const std::u16string header = ToUtf16(line) + u"\r\n";
        // Fails (and is ignored) when a header of that name is present already.
        HttpAddRequestHeadersW(Request(), Wide(header), static_cast<DWORD>(-1),
                               HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    }

    // A new connection and request to the target, carrying the headers, the decoding and the
    // widened security flags of the request before it.
    void Reopen(const HttpTarget& target) {
        mRequest.reset();
        mConnection.reset();
        mRedirected = true;
        mConnection = OpenConnection(static_cast<HINTERNET>(mSession.get()), target);
        if (!mConnection) ThrowLastError("InternetConnectW");
        mRequest = OpenRequest(static_cast<HINTERNET>(mConnection.get()), target);
        if (!mRequest) ThrowLastError("HttpOpenRequestW");
        ApplyTimeLimits(Request(), mLimits);
        for (const auto& line : mHeaderLines) AddHeader(line);
        if (mDecode) EnableContentDecoding();
        if (mIgnoreRevocation) WaiveRevocationCheck();
    }

    void SendOnce(std::optional<std::string_view> body) {
        if (!body) {
            if (HttpSendRequestW(Request(), nullptr, 0, nullptr, 0) == FALSE)
                ThrowLastError("HttpSendRequestW");
            return;
        }
        if (body->size() > 0xffffffffu)
            throw TransferError(TransferErrorKind::Other, "request body too large");
        INTERNET_BUFFERSW buffers{};
        buffers.dwStructSize = sizeof buffers;
        buffers.dwBufferTotal = static_cast<DWORD>(body->size());
        if (HttpSendRequestExW(Request(), &buffers, nullptr, HSR_INITIATE, kContext) == FALSE)
            ThrowLastError("HttpSendRequestExW");
        const char* data = body->data();
        std::size_t left = body->size();
        while (left > 0) {
            DWORD written = 0;
            const DWORD piece = left > kLargestPiece ? kLargestPiece : static_cast<DWORD>(left);
            if (InternetWriteFile(Request(), data, piece, &written) == FALSE)
                ThrowLastError("InternetWriteFile");
            if (written == 0)
                throw TransferError(TransferErrorKind::Other, "InternetWriteFile wrote nothing");
            data += written;
            left -= written;
        }
        if (HttpEndRequestW(Request(), nullptr, 0, kContext) == FALSE)
            ThrowLastError("HttpEndRequestW");
    }

  public:
    std::optional<int> StatusCode() const override {
        DWORD status = 0;
        DWORD size = sizeof status;
        if (HttpQueryInfoW(Request(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                           &size, nullptr) == FALSE)
            return std::nullopt;
        return static_cast<int>(status);
    }

    std::optional<std::string> ResponseHeader(std::string_view name) const override {
        // HTTP_QUERY_CUSTOM takes the header's name in the buffer and returns its value there.
        const std::u16string wideName = ToUtf16(name);
        std::vector<wchar_t> buffer(std::max<std::size_t>(wideName.size() + 1, 256), L'\0');
        for (int round = 0; round < 2; ++round) {
            std::copy(wideName.begin(), wideName.end(), buffer.begin());
            buffer[wideName.size()] = L'\0';
            DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
            DWORD index = 0;
            if (HttpQueryInfoW(Request(), HTTP_QUERY_CUSTOM, buffer.data(), &size, &index) != FALSE)
                return ToUtf8(FromWide(buffer.data(), size / sizeof(wchar_t)));
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
            buffer.assign(size / sizeof(wchar_t) + wideName.size() + 2, L'\0');
        }
        return std::nullopt;
    }

    void WaiveRevocationCheck() override {
        mIgnoreRevocation = true;
        DWORD flags = 0;
        DWORD size = sizeof flags;
        if (InternetQueryOptionW(Request(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size) == FALSE)
            flags = 0;
        DWORD value = (flags | SECURITY_FLAG_IGNORE_REVOCATION) & ~kRefusedSecurityFlags;
        InternetSetOptionW(Request(), INTERNET_OPTION_SECURITY_FLAGS, &value, sizeof value);
    }

    bool ProxyCredentialsStep(bool interactive) override {
        // Over the desktop window: the launcher has no main window.
        return InternetErrorDlg(
                   GetDesktopWindow(), Request(), ERROR_INTERNET_INCORRECT_PASSWORD,
                   interactive ? kCredentialsFlagsInteractive : kCredentialsFlagsSilent,
                   nullptr) == ERROR_INTERNET_FORCE_RETRY;
    }

    std::size_t Read(char* buffer, std::size_t capacity) override {
        DWORD got = 0;
        const DWORD piece = capacity > kLargestPiece ? kLargestPiece : static_cast<DWORD>(capacity);
        mBodyUnfinished = true;
        if (InternetReadFile(Request(), buffer, piece, &got) == FALSE)
            ThrowLastError("InternetReadFile");
        mBodyUnfinished = got != 0;
        return got;
    }

  private:
    HINTERNET Request() const { return static_cast<HINTERNET>(mRequest.get()); }

    HttpTarget mTarget;
    HttpTimeLimits mLimits;
    std::vector<std::string> mHeaderLines;
    bool mDecode = false;
    bool mRedirected = false;
    bool mBodyUnfinished = false;
    bool mIgnoreRevocation = false;
    InternetHandle mSession;
    InternetHandle mConnection;
    InternetHandle mRequest;
};

}  // namespace

void ReleaseIdleConnections() {
    // Every exchange closes its own handles: the thread keeps no connection of its own.
}

std::unique_ptr<HttpExchange> OpenHttpExchange(const HttpTarget& target) {
    if (target.server.empty()) return nullptr;
    const HttpTimeLimits limits = CurrentHttpTimeLimits();

    // The limits are the process's: raised once, before the first connection.
    static const bool limitsRaised = [] {
        DWORD connections = kConnectionsPerServer;
        InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections,
                           sizeof connections);
        InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections,
                           sizeof connections);
        return true;
    }();
    (void)limitsRaised;

    // The program's name as the agent, the system's proxy settings, no proxy of our own, no flags.
    const std::u16string agent = ToUtf16(UserAgentName());
    InternetHandle session(
        InternetOpenW(Wide(agent), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) return nullptr;
    ApplyTimeLimits(static_cast<HINTERNET>(session.get()), limits);

    InternetHandle connection = OpenConnection(static_cast<HINTERNET>(session.get()), target);
    if (!connection) return nullptr;
    InternetHandle request = OpenRequest(static_cast<HINTERNET>(connection.get()), target);
    if (!request) return nullptr;
    ApplyTimeLimits(static_cast<HINTERNET>(request.get()), limits);

    return std::make_unique<WinInetExchange>(target, limits, std::move(session),
                                             std::move(connection), std::move(request));
}
