// The HTTP transport over WinINet. Every exchange opens its own internet handle, connection and
// request and closes them in reverse order when it ends; the request handle is sent again for each
// attempt, keeping the headers it was given. Certificates are checked fully (authority, host name,
// validity dates); only a failed revocation check can be waived, by the attempt loop.
#include <windows.h>

#include <wininet.h>

#include <algorithm>
#include <vector>

#include "core/product_identity.h"
#include "core/text_conversion.h"
#include "core/win32_support.h"
#include "net/http_transport.h"

namespace {

constexpr DWORD_PTR kContext = 1;
// The most bytes one InternetReadFile or InternetWriteFile call is asked to move.
constexpr DWORD kLargestPiece = 0x40000000;

// Security flags that would switch off a part of the certificate check. A request is never
// widened by them, whatever a caller asks for.
constexpr DWORD kRefusedSecurityFlags =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_WRONG_USAGE |
    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
    SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS;

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
        case HttpVerb::Get:
            break;
    }
    return target.headOnly ? L"HEAD" : L"GET";
}

// The program's file name without its extension, as the user agent.
std::u16string AgentName() {
    std::u16string path = OwnModulePath();
    const std::size_t slash = path.find_last_of(u"\\/");
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind(u'.');
    if (dot != std::u16string::npos && dot > 0) name.resize(dot);
    return name.empty() ? u"setup-launcher" : name;
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

class WinInetExchange final : public HttpExchange {
  public:
    WinInetExchange(InternetHandle session, InternetHandle connection, InternetHandle request)
        : mSession(std::move(session)),
          mConnection(std::move(connection)),
          mRequest(std::move(request)) {}

    ~WinInetExchange() override {
        // Request, then connection, then the internet handle.
        mRequest.reset();
        mConnection.reset();
        mSession.reset();
    }

    void AddHeaderIfNew(std::string_view line) override {
        const std::u16string header = ToUtf16(line) + u"\r\n";
        // Fails (and is ignored) when a header of that name is present already.
        HttpAddRequestHeadersW(Request(), Wide(header), static_cast<DWORD>(-1),
                               HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    }

    void EnableContentDecoding() override {
        BOOL decode = TRUE;
        InternetSetOptionW(Request(), INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
    }

    void Send(std::optional<std::string_view> body) override {
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

    std::uint32_t SecurityFlags() const override {
        DWORD flags = 0;
        DWORD size = sizeof flags;
        if (InternetQueryOptionW(Request(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size) == FALSE)
            return 0;
        return flags;
    }

    void SetSecurityFlags(std::uint32_t flags) override {
        DWORD value = flags & ~kRefusedSecurityFlags;
        InternetSetOptionW(Request(), INTERNET_OPTION_SECURITY_FLAGS, &value, sizeof value);
    }

    bool ProxyCredentialsStep(std::uint32_t flags) override {
        // Over the desktop window: the launcher has no main window.
        return InternetErrorDlg(GetDesktopWindow(), Request(), ERROR_INTERNET_INCORRECT_PASSWORD,
                                flags, nullptr) == ERROR_INTERNET_FORCE_RETRY;
    }

    std::size_t Read(char* buffer, std::size_t capacity) override {
        DWORD got = 0;
        const DWORD piece = capacity > kLargestPiece ? kLargestPiece : static_cast<DWORD>(capacity);
        if (InternetReadFile(Request(), buffer, piece, &got) == FALSE)
            ThrowLastError("InternetReadFile");
        return got;
    }

  private:
    HINTERNET Request() const { return static_cast<HINTERNET>(mRequest.get()); }

    InternetHandle mSession;
    InternetHandle mConnection;
    InternetHandle mRequest;
};

}  // namespace

std::unique_ptr<HttpExchange> OpenHttpExchange(const HttpTarget& target) {
    if (target.server.empty()) return nullptr;
    const HttpTimeLimits limits = CurrentHttpTimeLimits();

    // The system's proxy settings, no proxy of our own, no flags.
    const std::u16string agent = AgentName();
    InternetHandle session(
        InternetOpenW(Wide(agent), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) return nullptr;
    ApplyTimeLimits(static_cast<HINTERNET>(session.get()), limits);

    const std::u16string server = ToUtf16(target.server);
    InternetHandle connection(InternetConnectW(static_cast<HINTERNET>(session.get()), Wide(server),
                                               target.port, nullptr, nullptr, INTERNET_SERVICE_HTTP,
                                               0, kContext));
    if (!connection) return nullptr;

    // Always from the origin, never into the cache, no redirects followed (as on every platform).
    DWORD flags =
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (target.secure)
        flags |= INTERNET_FLAG_SECURE | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_CACHE_ASYNC;
    const std::u16string object = ToUtf16(RequestTarget(target.path));
    InternetHandle request(HttpOpenRequestW(static_cast<HINTERNET>(connection.get()),
                                            VerbOf(target), Wide(object), nullptr, nullptr, nullptr,
                                            flags, kContext));
    if (!request) return nullptr;
    ApplyTimeLimits(static_cast<HINTERNET>(request.get()), limits);

    return std::make_unique<WinInetExchange>(std::move(session), std::move(connection),
                                             std::move(request));
}
