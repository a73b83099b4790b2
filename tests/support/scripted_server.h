#pragma once
// An in-process HTTPS (or plain HTTP) server on 127.0.0.1 whose answers each test scripts.
//
//   ScriptedServer server;                              // HTTPS, good certificate, free port
//   TrustTestAuthority trust;                           // SETUP_LAUNCHER_CA_FILE for this scope
//   server.PutObject("product-v2/index", "{}");        // objects served with range semantics
//   server.Enqueue({Reply::Status(404), Reply::Status(404)});  // the next answers, in order,
//                                                               // before the objects take over
//   server.SetHook([](const RecordedRequest& request, Reply& reply) {
//       if (request.target == "/c/file") reply.cutAfter = 10;  // change any answer on its way
//   });
//   std::string body;
//   HttpGetText(server.Host(), u"product-v2/index", body, std::nullopt, true, server.Port());
//   server.Requests();                                  // method, target, headers, body of each
//
// The answer to a request is, in this order: the next queued Reply; else the object at the
// request's (percent-decoded) path (206 with Content-Range for a satisfiable "Range: bytes=a-b",
// shortened at the object's end; 416 past its end; 200 for the whole object); else 404. The hook
// then sees and may change it. Options choose HTTPS or HTTP, the certificate, and whether
// connections are kept.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_pki.h"

struct RecordedRequest {
    std::string method;
    std::string target;  // as sent: path and query, e.g. "/c/name?comp=block"
    std::string path;    // target without the query
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int remotePort = 0;  // tells whether two requests shared a connection

    // The first value of a header (case-insensitive name); nullopt when absent.
    std::optional<std::string> Header(const std::string& name) const;
};

enum class ContentEncoding { None, Gzip, Deflate };

struct Reply {
    int status = 200;
    std::string body;  // the plain body; Encoding compresses it on the way out
    std::vector<std::pair<std::string, std::string>> headers;
    ContentEncoding encoding = ContentEncoding::None;
    // Announce the whole length but close the connection after this many body bytes.
    std::optional<std::size_t> cutAfter;
    // Wait before the status line, and at the cut before closing (both end early at Stop).
    std::chrono::milliseconds stallBeforeHeaders{0};
    std::chrono::milliseconds stallAtCut{0};
    // Send the body in pieces of this size with a pause after each (0: all at once).
    std::size_t throttleChunk = 0;
    std::chrono::milliseconds throttleDelay{0};
    // Hostile answers. endless: the body (zero bytes when it is empty) repeated without end in
    // chunked transfer coding, compressed on the fly under an encoding, until the client hangs
    // up or the server stops. junkAfterBody: bytes sent on the connection after the announced
    // length of the body, in a write of their own.
    bool endless = false;
    std::string junkAfterBody;

    static Reply Status(int status, std::string body = std::string());
    static Reply Stall(std::chrono::milliseconds duration);
};

class ScriptedServer {
  public:
    struct Options {
        bool secure = true;
        ServerCertificate certificate = ServerCertificate::Good;
        bool keepAlive = false;  // kept connections delay Stop by up to a second
        // With keepAlive: requests over one connection before the server closes it (0: the
        // library's default, a handful).
        std::size_t requestsPerConnection = 0;
        // Counts the connections open at once; with a limit, a connection that would go beyond
        // it is reset as soon as it is accepted, as a server or proxy that allows only so many
        // connections from one client does. Requests then reach the server through a relay.
        bool countConnections = false;
        std::size_t connectionLimit = 0;  // 0: no limit
        // A connection that closed still counts against the limit until ReleaseClosedConnections
        // (and from then on no longer), as with a proxy slow to see the first close.
        bool holdClosedConnections = false;
    };

    ScriptedServer();
    explicit ScriptedServer(Options options);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::u16string Host() const { return u"localhost"; }
    std::uint16_t Port() const { return mPort; }
    bool Secure() const { return mOptions.secure; }
    // "https://localhost:<port>", the form of SETUP_LAUNCHER_DOWNLOAD_ENDPOINT.
    std::string Endpoint() const;

    void PutObject(const std::string& path, std::string content);  // path without leading "/"
    void RemoveObject(const std::string& path);
    // Range requests get a 200 with the whole object instead of a 206.
    void SetIgnoreRanges(bool ignore);
    void Enqueue(std::vector<Reply> replies);
    using Hook = std::function<void(const RecordedRequest&, Reply&)>;
    void SetHook(Hook hook);

    std::vector<RecordedRequest> Requests() const;
    std::size_t RequestCount() const;
    void ClearRequests();
    // TLS handshakes begun (HTTPS only): counts attempts that never got as far as a request.
    std::size_t HandshakeCount() const;
    // With countConnections or a connection limit: the most connections that were open at once,
    // and how many were reset for going beyond the limit.
    std::size_t PeakConnections() const;
    std::size_t RefusedConnections() const;
    // With holdClosedConnections: the connections closed so far stop counting, and so do those that
    // close from now on.
    void ReleaseClosedConnections();
    // With countConnections or a connection limit: the connections that count now.
    std::size_t OpenConnections() const;
    // Waits until this many junkAfterBody writes have been made (true), or a few seconds passed.
    bool WaitForJunkWrites(std::size_t count) const;

    // Ends stalls, stops listening and joins the server's threads. The destructor calls it.
    void Stop();

    struct Impl;

  private:
    Options mOptions;
    std::uint16_t mPort = 0;
    std::unique_ptr<Impl> mImpl;
};

// Sets SETUP_LAUNCHER_CA_FILE to the test authority for the lifetime of the object.
class TrustTestAuthority {
  public:
    TrustTestAuthority();
    ~TrustTestAuthority();
    TrustTestAuthority(const TrustTestAuthority&) = delete;
    TrustTestAuthority& operator=(const TrustTestAuthority&) = delete;

  private:
    std::optional<std::string> mOld;
};

// Compresses text as a gzip member or a zlib stream.
std::string Compress(const std::string& text, ContentEncoding encoding);
