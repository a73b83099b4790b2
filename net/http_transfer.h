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
#include <string>
#include <vector>

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

// The most bytes a body of a request with the inclusive range from..to can legitimately hold:
// the range's length; maxBody alone when no range is asked for.
std::uint64_t BodyBound(std::int64_t from, std::int64_t to, std::uint64_t maxBody);

// headers: extra header lines without line ends ("Name: value"); from/to: inclusive byte range,
// none when both are 0; body: sent only when non-empty and the verb is not GET; maxBody: the most
// body bytes a response may carry (see BodyBound).
bool HttpRequest(const std::u16string& server, const std::u16string& path, bool secure,
                 std::uint16_t port, const ResponseReader& reader, HttpVerb verb,
                 const std::vector<std::u16string>& headers, std::int64_t from, std::int64_t to,
                 const std::string& body, std::uint64_t maxBody = kUnboundedBody);
bool HttpGet(const std::u16string& server, const std::u16string& path, bool secure,
             std::uint16_t port, const ResponseReader& reader, std::int64_t from, std::int64_t to,
             std::uint64_t maxBody = kUnboundedBody);
// HttpGet of a whole object that also tells how it ended: finalStatus is the status of the last
// answer, 0 when no answer came at all. A caller tells an object that is not there (404) from a
// store that could not be reached or failed.
bool HttpGetWithStatus(const std::u16string& server, const std::u16string& path, bool secure,
                       std::uint16_t port, const ResponseReader& reader, std::uint64_t maxBody,
                       int& finalStatus);
bool HttpGetText(const std::u16string& server, const std::u16string& path, std::string& out,
                 std::int64_t from, std::int64_t to, bool secure, std::uint16_t port,
                 std::uint64_t maxBody = kUnboundedBody);
// A GET of the inclusive byte range first..last that always sends its Range header, also for
// "bytes=0-0" (which HttpGet's from/to pair reads as "the whole object"). The body is bounded by
// the range's length.
bool HttpGetRange(const std::u16string& server, const std::u16string& path,
                  const ResponseReader& reader, std::int64_t first, std::int64_t last, bool secure,
                  std::uint16_t port);
// Only the status of the answer counts: its body is not read, so an answer that never ends
// cannot hold the caller up.
bool HttpPost(const std::u16string& server, const std::u16string& path, bool secure,
              std::uint16_t port, const std::vector<std::u16string>& headers,
              const std::string& body);
