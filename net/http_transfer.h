#pragma once
// The one HTTP client of the system. Every call opens its own exchange, makes up to 15 attempts
// (no wait between them) and reports by its result: true only when the final status was 200 or
// 206 (for POST also 201 and 204) and the reader did not return false. It never throws for
// network problems.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class HttpVerb { Get, Post, Put };

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

// Appends every body byte to out (which it does not clear first).
ResponseReader AppendBody(std::string& out);
// Reads the body to its end and drops it.
ResponseReader DiscardBody();

// headers: extra header lines without line ends ("Name: value"); from/to: inclusive byte range,
// none when both are 0; body: sent only when non-empty and the verb is not GET.
bool HttpRequest(const std::u16string& server, const std::u16string& path, bool secure,
                 std::uint16_t port, const ResponseReader& reader, HttpVerb verb,
                 const std::vector<std::u16string>& headers, std::int64_t from, std::int64_t to,
                 const std::string& body);
bool HttpGet(const std::u16string& server, const std::u16string& path, bool secure,
             std::uint16_t port, const ResponseReader& reader, std::int64_t from, std::int64_t to);
bool HttpGetText(const std::u16string& server, const std::u16string& path, std::string& out,
                 std::int64_t from, std::int64_t to, bool secure, std::uint16_t port);
// A GET of the inclusive byte range first..last that always sends its Range header, also for
// "bytes=0-0" (which HttpGet's from/to pair reads as "the whole object").
bool HttpGetRange(const std::u16string& server, const std::u16string& path,
                  const ResponseReader& reader, std::int64_t first, std::int64_t last, bool secure,
                  std::uint16_t port);
bool HttpPost(const std::u16string& server, const std::u16string& path, bool secure,
              std::uint16_t port, const std::vector<std::u16string>& headers,
              const std::string& body);
