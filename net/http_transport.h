#pragma once
// The platform's half of the HTTP client. http_transfer.cpp owns the attempt loop, the readers and
// the classification of errors; a transport only opens one request to one server and carries out
// the single steps the loop asks for. The libcurl transport lives in http_transport_curl.cpp, the
// WinINet one in http_transport_wininet.cpp.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "net/http_transfer.h"

// What went wrong in a transport step; the attempt loop decides from it whether to try again.
enum class TransferErrorKind {
    ForceRetry,           // the platform asks for the request to be sent again
    Timeout,              // no connection in time, or no progress for too long
    CertificateRejected,  // untrusted authority, wrong host name or outside the validity dates
    RevocationUnknown,    // the revocation state of the certificate could not be checked
    BodyTooLarge,         // the body went on past the most bytes it may hold
    RedirectRefused,      // a redirect to plain HTTP, or more than kMaxRedirects of them
    Other,                // anything else: refused, reset, resolution failed, body cut off, ...
};

// A failure of the connection while sending or reading.
class TransferError : public std::runtime_error {
  public:
    TransferError(TransferErrorKind kind, const std::string& message)
        : std::runtime_error(message), mKind(kind) {}
    TransferErrorKind Kind() const noexcept { return mKind; }

  private:
    TransferErrorKind mKind;
};

// GET requests follow at most this many redirects (301, 302, 303, 307, 308), each to HTTPS.
inline constexpr int kMaxRedirects = 5;
// Whether a status is a redirect that a GET follows when it names a new location.
bool IsFollowedRedirect(int status);

// The program's file name without its extension: the User-Agent of every request.
std::string UserAgentName();

struct HttpTarget {
    std::string server;      // host name, UTF-8
    std::uint16_t port = 0;  // effective port, never 0
    bool secure = true;
    HttpVerb verb = HttpVerb::Get;
    std::string path;       // as the caller gave it; the transport forms the request target
    bool headOnly = false;  // a GET that asks for the status and headers alone (HEAD; tools only)
};

// One open request. The same object is sent again for every attempt; the headers it was given
// stay with it.
class HttpExchange : public ResponseBody {
  public:
    // Adds one header line ("Name: value", no line end) unless a header of that name is present.
    virtual void AddHeaderIfNew(std::string_view line) = 0;
    // Undo a gzip or deflate content encoding before the reader sees the body.
    virtual void EnableContentDecoding() = 0;
    // Sends the request (with the body when one is given) and waits for the response headers.
    // Throws TransferError.
    virtual void Send(std::optional<std::string_view> body) = 0;
    // The status of the latest response, nullopt when none arrived.
    virtual std::optional<int> StatusCode() const = 0;
    // A header of the latest response (case-insensitive name), nullopt when absent.
    virtual std::optional<std::string> ResponseHeader(std::string_view name) const = 0;
    // From the next attempt on, a revocation state that cannot be checked no longer fails the
    // certificate check (every other part of it stays).
    virtual void WaiveRevocationCheck() = 0;
    // The proxy-credentials step: silent (credentials the platform already has) or interactive
    // (the platform may ask the user); true when the request should be sent again.
    virtual bool ProxyCredentialsStep(bool interactive) = 0;
};

// Opens a request to the target; nullptr when no connection or request could be made.
std::unique_ptr<HttpExchange> OpenHttpExchange(const HttpTarget& target);

// How long a connect may take and how long a transfer may go without any progress before the
// attempt counts as a time-out. Tests shorten them.
struct HttpTimeLimits {
    std::chrono::milliseconds connect{30000};
    std::chrono::milliseconds stall{60000};
};
HttpTimeLimits CurrentHttpTimeLimits();
void SetHttpTimeLimits(const HttpTimeLimits& limits);

// The request target of a path in origin form: exactly one leading "/".
std::string RequestTarget(std::string_view path);
// Whether a header line carries the given name (case-insensitive, up to the colon).
bool HeaderHasName(std::string_view line, std::string_view name);
