#pragma once
// The one HTTP client of the system. Every call opens its own exchange, makes up to 15 attempts
// (no wait between them) and reports by its result: true only when the final status was 200 or
// 206 (for POST also 201 and 204) and the reader did not return false. It never throws for
// network problems.
//
// Every body is bounded: a range request by the length of its range, a whole object by the
// caller's maxBody, both counted after any content decoding. A body that goes on past its bound
// fails the attempt (nothing of it is kept) and the loop tries again. GET requests follow up to
// five redirects that stay on HTTPS, each hop with a verified certificate, keeping the range and
// the headers; a POST follows none.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/endpoints.h"

enum class HttpVerb { Get, Post, Put, Delete };

// The open response as a reader sees it.
class ResponseBody {
  public:
    virtual ~ResponseBody() = default;
    // Places up to capacity body bytes into buffer; 0 at the end of the body. Throws
    // TransferError when the connection fails while reading.
    virtual std::size_t Read(char* buffer, std::size_t capacity) = 0;
};

// Consumes a response body; false marks the exchange as failed.
using ResponseReader = std::function<bool(ResponseBody&)>;

// Appends every body byte to out (which it does not clear first). When the attempt fails because
// the body went past its bound, out is given back as it was before the attempt.
ResponseReader AppendBody(std::string& out);
// Reads the body to its end and drops it.
ResponseReader DiscardBody();

// No bound beyond the range (callers whose objects have no size known in advance pass their own).
inline constexpr std::uint64_t kUnboundedBody = std::numeric_limits<std::uint64_t>::max();

// An inclusive byte range first..last of an object. Sent as "Range: bytes=first-last" whatever its
// values, "bytes=0-0" included.
struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

// How often a request is sent before the loop gives up. Every attempt follows the same rules: a
// time-out, a body past its bound, a refused redirect or the platform's request to send again
// start the next attempt; a certificate problem, a refusal or a reset end the loop.
struct RetryPolicy {
    int maxAttempts = 15;
    // Every answer is final, whatever its status: the reader sees its body and no attempt follows
    // (only a time-out or the platform's request starts another). The store client's requests,
    // whose error answers say what went wrong.
    bool answersAreFinal = false;
};

// One request as the loop performs it.
struct HttpCall {
    Endpoint endpoint;  // host, scheme and port (0: the scheme's default)
    std::u16string path;
    HttpVerb verb = HttpVerb::Get;
    std::optional<ByteRange> range;          // none: the whole object
    std::vector<std::u16string> headers;     // extra header lines without line ends ("Name: value")
    std::string body;                        // sent only when non-empty and the verb is not GET
    std::uint64_t maxBody = kUnboundedBody;  // the most body bytes an answer may carry
    RetryPolicy retry;
    bool headOnly = false;                   // a GET that asks for the status and headers alone
    std::vector<std::string> wantedHeaders;  // answer headers the outcome reports
};

// The port a request goes to: the endpoint's own, or 443 / 80 by its scheme.
std::uint16_t EffectivePort(const Endpoint& endpoint);

// The most bytes a body of a request for the range can legitimately hold: the range's length
// (never more than maxBody); maxBody alone when no range is asked for or the range is empty.
std::uint64_t BodyBound(const std::optional<ByteRange>& range, std::uint64_t maxBody);

// How a performed call ended, for callers that act on the kind of failure.
struct HttpOutcome {
    std::optional<int> status;  // the final status, none when no answer arrived
    // The connection itself failed (refused, reset, closed before an answer) and no answer came.
    bool connectionFailed = false;
    // The wanted headers of the last answer that were present, and the last transfer error.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string error;
};

// The attempt loop: performs the call and hands a successful answer's body to the reader. The
// connection it runs on belongs to the calling thread and is kept for its next call, so threads
// that each perform calls to one server hold one connection each.
bool PerformHttpCall(const HttpCall& call, const ResponseReader& reader,
                     HttpOutcome* outcome = nullptr);

// Closes the connections the calling thread keeps for its next calls (those not in use), so that
// they no longer count against a server's limit while other threads connect.
void ReleaseIdleConnections();

// Thin forms of PerformHttpCall for the usual requests.
bool HttpRequest(const std::u16string& server, const std::u16string& path, bool secure,
                 std::uint16_t port, const ResponseReader& reader, HttpVerb verb,
                 const std::vector<std::u16string>& headers, std::optional<ByteRange> range,
                 const std::string& body, std::uint64_t maxBody = kUnboundedBody);
bool HttpGet(const std::u16string& server, const std::u16string& path, bool secure,
             std::uint16_t port, const ResponseReader& reader, std::optional<ByteRange> range,
             std::uint64_t maxBody = kUnboundedBody);
bool HttpGetText(const std::u16string& server, const std::u16string& path, std::string& out,
                 std::optional<ByteRange> range, bool secure, std::uint16_t port,
                 std::uint64_t maxBody = kUnboundedBody);
// Only the status of the answer counts: its body is not read, so an answer that never ends
// cannot hold the caller up.
bool HttpPost(const std::u16string& server, const std::u16string& path, bool secure,
              std::uint16_t port, const std::vector<std::u16string>& headers,
              const std::string& body);
