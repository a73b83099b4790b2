// The scripted test server over cpp-httplib.
#include "support/scripted_server.h"

#include <httplib.h>
#include <openssl/pem.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <thread>

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::unique_ptr<BIO, BioDeleter> MemoryBio(const std::string& text) {
    return std::unique_ptr<BIO, BioDeleter>(
        BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// "bytes=a-b" or "bytes=a-"; nullopt for anything else, which is answered with the whole object.
std::optional<std::pair<std::uint64_t, std::optional<std::uint64_t>>> ParseRange(
    const std::string& value) {
    if (value.rfind("bytes=", 0) != 0) return std::nullopt;
    const std::string spec = value.substr(6);
    const auto dash = spec.find('-');
    if (dash == std::string::npos || dash == 0 || spec.find(',') != std::string::npos)
        return std::nullopt;
    char* end = nullptr;
    const std::string first = spec.substr(0, dash);
    const std::uint64_t from = std::strtoull(first.c_str(), &end, 10);
    if (*end != '\0') return std::nullopt;
    const std::string second = spec.substr(dash + 1);
    if (second.empty()) return std::make_pair(from, std::optional<std::uint64_t>());
    const std::uint64_t to = std::strtoull(second.c_str(), &end, 10);
    if (*end != '\0' || to < from) return std::nullopt;
    return std::make_pair(from, std::optional<std::uint64_t>(to));
}

}  // namespace

std::optional<std::string> RecordedRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    return std::nullopt;
}

Reply Reply::Status(int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

Reply Reply::Stall(std::chrono::milliseconds duration) {
    Reply reply = Status(200);
    reply.stallBeforeHeaders = duration;
    return reply;
}

std::string Compress(const std::string& text, ContentEncoding encoding) {
    if (encoding == ContentEncoding::None) return text;
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED,
                     encoding == ContentEncoding::Gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

namespace {

// A relay in front of the server that counts the connections open at once and resets those that
// would go beyond a limit. Each admitted connection gets its own connection to the server, so
// requests that shared a connection still do.
class ConnectionFront {
  public:
    ConnectionFront(std::uint16_t backendPort, std::size_t limit, bool holdClosed)
        : mBackendPort(backendPort), mLimit(limit), mHoldClosed(holdClosed) {
        mListen.reset(::socket(AF_INET, SOCK_STREAM, 0));
        if (!mListen) throw std::runtime_error("front socket");
        const int yes = 1;
        ::setsockopt(mListen.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        if (::bind(mListen.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(mListen.get(), 64) != 0 ||
            ::getsockname(mListen.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("front could not listen");
        mPort = ntohs(address.sin_port);
        mAccepting = std::thread([this] { Accept(); });
    }
    ~ConnectionFront() {
        mStopping = true;
        ::shutdown(mListen.get(), SHUT_RDWR);
        mAccepting.join();
        // Relays take the lock as they end: joined without holding it.
        std::vector<std::thread> relays;
        {
            std::lock_guard lock(mMutex);
            relays.swap(mRelays);
        }
        for (std::thread& relay : relays) relay.join();
    }
    ConnectionFront(const ConnectionFront&) = delete;
    ConnectionFront& operator=(const ConnectionFront&) = delete;

    std::uint16_t Port() const { return mPort; }
    std::size_t Peak() const { return mPeak; }
    std::size_t Refused() const { return mRefused; }
    std::size_t Open() {
        std::lock_guard lock(mMutex);
        return mOpen;
    }
    void ReleaseClosed() {
        std::lock_guard lock(mMutex);
        mOpen -= mHeld;
        mHeld = 0;
        mHoldClosed = false;
    }

  private:
    struct Fd {
        int fd = -1;
        Fd() = default;
        explicit Fd(int value) : fd(value) {}
        Fd(const Fd&) = delete;
        Fd& operator=(const Fd&) = delete;
        ~Fd() { reset(); }
        void reset(int value = -1) {
            if (fd >= 0) ::close(fd);
            fd = value;
        }
        int get() const { return fd; }
        explicit operator bool() const { return fd >= 0; }
    };

    static sockaddr_in Loopback(std::uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    void Accept() {
        while (!mStopping) {
            const int client = ::accept(mListen.get(), nullptr, nullptr);
            if (client < 0) {
                if (mStopping) return;
                continue;
            }
            std::lock_guard lock(mMutex);
            if (mLimit != 0 && mOpen >= mLimit) {
                // A reset, not an orderly close: the client sees the connection refused.
                const linger reset{1, 0};
                ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                ::close(client);
                ++mRefused;
                continue;
            }
            ++mOpen;
            mPeak = std::max<std::size_t>(mPeak, mOpen);
            mRelays.emplace_back([this, client] { Relay(client); });
        }
    }

    // Copies bytes both ways until either side closes.
    void Relay(int clientFd) {
        Fd client(clientFd);
        Fd server(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address = Loopback(mBackendPort);
        if (server &&
            ::connect(server.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const int yes = 1;
            ::setsockopt(server.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            char buffer[65536];
            bool open = true;
            while (open && !mStopping) {
                pollfd sides[2] = {{client.get(), POLLIN, 0}, {server.get(), POLLIN, 0}};
                if (::poll(sides, 2, 100) <= 0) continue;
                for (int side = 0; side < 2 && open; ++side) {
                    if (!(sides[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                    const int from = side == 0 ? client.get() : server.get();
                    const int to = side == 0 ? server.get() : client.get();
                    const ssize_t got = ::read(from, buffer, sizeof buffer);
                    if (got <= 0) {
                        open = false;
                        break;
                    }
                    for (ssize_t sent = 0; sent < got && open;) {
                        const ssize_t n = ::send(
                            to, buffer + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
                        if (n <= 0) open = false;
                        sent += n > 0 ? n : 0;
                    }
                }
            }
        }
        std::lock_guard lock(mMutex);
        if (mHoldClosed) {
            ++mHeld;
        } else {
            --mOpen;
        }
    }

    std::uint16_t mBackendPort;
    std::size_t mLimit;
    bool mHoldClosed;
    std::size_t mHeld = 0;  // closed and still counted in mOpen
    std::uint16_t mPort = 0;
    Fd mListen;
    std::atomic<bool> mStopping{false};
    std::mutex mMutex;
    std::size_t mOpen = 0;
    std::atomic<std::size_t> mPeak{0};
    std::atomic<std::size_t> mRefused{0};
    std::vector<std::thread> mRelays;
    std::thread mAccepting;
};

}  // namespace

struct ScriptedServer::Impl {
    std::unique_ptr<httplib::Server> server;
    std::unique_ptr<X509, CertDeleter> cert;
    std::unique_ptr<EVP_PKEY, KeyDeleter> key;
    std::thread thread;
    std::unique_ptr<ConnectionFront> front;  // stopped before the server
    std::atomic<std::size_t> handshakes{0};
    std::atomic<std::size_t> junkWrites{0};

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::map<std::string, std::string> objects;
    bool ignoreRanges = false;
    std::deque<Reply> queue;
    Hook hook;
    std::vector<RecordedRequest> requests;

    // Sleeps for the duration unless the server stops first; false when it stops.
    bool Wait(std::chrono::milliseconds duration) {
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, duration, [this] { return stopping; });
    }

    Reply ObjectReply(const RecordedRequest& request) const {
        if (request.method != "GET") return Reply::Status(404);
        // Objects are named as stored: the escaped request path is decoded first, as a store does.
        const std::string name = httplib::detail::decode_url(
            request.path.empty() ? request.path : request.path.substr(1), false);
        const auto object = objects.find(name);
        if (object == objects.end()) return Reply::Status(404);
        const std::string& content = object->second;
        const auto rangeHeader = request.Header("Range");
        const auto range = rangeHeader && !ignoreRanges ? ParseRange(*rangeHeader) : std::nullopt;
        if (!range) return Reply::Status(200, content);
        const std::uint64_t size = content.size();
        if (range->first >= size) {
            Reply reply = Reply::Status(416);
            reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
            return reply;
        }
        const std::uint64_t last = std::min(range->second.value_or(size - 1), size - 1);
        Reply reply = Reply::Status(206, content.substr(range->first, last - range->first + 1));
        reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(range->first) + "-" +
                                                        std::to_string(last) + "/" +
                                                        std::to_string(size));
        return reply;
    }

    // A body without end: the reply's body (or zeros) over and over, deflated on the fly when
    // the reply has an encoding, so that a little on the wire inflates to a lot.
    void ServeEndless(const Reply& reply, httplib::Response& response) {
        // Written 64 KiB or more at a time, whatever the size of the repeated text.
        std::string piece = reply.body.empty() ? std::string(64 * 1024, '\0') : reply.body;
        while (piece.size() < 64 * 1024) piece += piece;
        std::shared_ptr<z_stream> deflater;
        if (reply.encoding != ContentEncoding::None) {
            deflater = std::shared_ptr<z_stream>(new z_stream{}, [](z_stream* stream) {
                deflateEnd(stream);
                delete stream;
            });
            if (deflateInit2(deflater.get(), Z_BEST_COMPRESSION, Z_DEFLATED,
                             reply.encoding == ContentEncoding::Gzip ? 31 : 15, 8,
                             Z_DEFAULT_STRATEGY) != Z_OK)
                throw std::runtime_error("deflateInit2 failed");
        }
        response.set_chunked_content_provider(
            "application/octet-stream",
            [this, piece, deflater](std::size_t, httplib::DataSink& sink) {
                {
                    std::lock_guard lock(mutex);
                    if (stopping) return false;
                }
                if (!deflater) return sink.write(piece.data(), piece.size());
                std::string out(piece.size() + 1024, '\0');
                deflater->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
                deflater->avail_in = static_cast<uInt>(piece.size());
                while (deflater->avail_in > 0) {
                    deflater->next_out = reinterpret_cast<Bytef*>(out.data());
                    deflater->avail_out = static_cast<uInt>(out.size());
                    deflate(deflater.get(), Z_SYNC_FLUSH);
                    const std::size_t n = out.size() - deflater->avail_out;
                    if (n > 0 && !sink.write(out.data(), n)) return false;
                }
                return true;
            });
    }

    void Handle(const httplib::Request& request, httplib::Response& response) {
        RecordedRequest record;
        record.method = request.method;
        record.target = request.target;
        record.path = request.target.substr(0, request.target.find('?'));
        for (const auto& [name, value] : request.headers) record.headers.emplace_back(name, value);
        record.body = request.body;
        record.remotePort = request.remote_port;

        Reply reply;
        Hook currentHook;
        {
            std::lock_guard lock(mutex);
            requests.push_back(record);
            if (!queue.empty()) {
                reply = std::move(queue.front());
                queue.pop_front();
            } else {
                reply = ObjectReply(record);
            }
            currentHook = hook;
        }
        if (currentHook) currentHook(record, reply);

        // The reply already is the answer to any range; keep the library from slicing it again.
        const_cast<httplib::Request&>(request).ranges.clear();

        if (reply.stallBeforeHeaders.count() > 0 && !Wait(reply.stallBeforeHeaders)) {
            response.status = 503;
            return;
        }
        response.status = reply.status;
        for (const auto& [name, value] : reply.headers) response.set_header(name.c_str(), value);
        if (reply.encoding != ContentEncoding::None)
            response.set_header("Content-Encoding",
                                reply.encoding == ContentEncoding::Gzip ? "gzip" : "deflate");
        if (reply.endless) {
            ServeEndless(reply, response);
            return;
        }
        auto wire = std::make_shared<std::string>(Compress(reply.body, reply.encoding));

        if (!reply.junkAfterBody.empty()) {
            // Announce the body's length, then send more than that.
            response.set_content_provider(
                wire->size(), "application/octet-stream",
                [this, wire, junk = reply.junkAfterBody](std::size_t offset, std::size_t,
                                                         httplib::DataSink& sink) {
                    if (offset != 0) return false;
                    const bool sent = sink.write(wire->data(), wire->size()) &&
                                      sink.write(junk.data(), junk.size());
                    if (sent) ++junkWrites;
                    return sent;
                });
            return;
        }
        if (!reply.cutAfter && reply.throttleChunk == 0) {
            response.set_content(*wire, "application/octet-stream");
            return;
        }
        const std::size_t limit = std::min(reply.cutAfter.value_or(wire->size()), wire->size());
        response.set_content_provider(
            wire->size(), "application/octet-stream",
            [this, wire, limit, reply](std::size_t offset, std::size_t length,
                                       httplib::DataSink& sink) {
                if (offset >= limit) {
                    if (reply.stallAtCut.count() > 0) Wait(reply.stallAtCut);
                    return false;  // closes the connection short of the announced length
                }
                std::size_t n = std::min(length, limit - offset);
                if (reply.throttleChunk > 0) n = std::min(n, reply.throttleChunk);
                if (!sink.write(wire->data() + offset, n)) return false;
                return reply.throttleDelay.count() == 0 || Wait(reply.throttleDelay);
            });
    }
};

ScriptedServer::ScriptedServer() : ScriptedServer(Options{}) {}

ScriptedServer::ScriptedServer(Options options)
    : mOptions(options), mImpl(std::make_unique<Impl>()) {
    // A client that hangs up mid-answer must not end the test process.
    std::signal(SIGPIPE, SIG_IGN);

    if (mOptions.secure) {
        const PemCredentials& pem = TestPki::Shared().Server(mOptions.certificate);
        mImpl->cert.reset(
            PEM_read_bio_X509(MemoryBio(pem.certificate).get(), nullptr, nullptr, nullptr));
        mImpl->key.reset(
            PEM_read_bio_PrivateKey(MemoryBio(pem.privateKey).get(), nullptr, nullptr, nullptr));
        if (!mImpl->cert || !mImpl->key) throw std::runtime_error("test certificate unreadable");
        auto server = std::make_unique<httplib::SSLServer>(mImpl->cert.get(), mImpl->key.get());
        if (SSL_CTX* context = server->ssl_context()) {
            SSL_CTX_set_app_data(context, mImpl.get());
            SSL_CTX_set_info_callback(context, [](const SSL* ssl, int where, int) {
                if (where & SSL_CB_HANDSHAKE_START) {
                    auto* impl = static_cast<Impl*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
                    ++impl->handshakes;
                }
            });
        }
        mImpl->server = std::move(server);
    } else {
        mImpl->server = std::make_unique<httplib::Server>();
    }
    if (!mImpl->server->is_valid()) throw std::runtime_error("test server could not be set up");

    mImpl->server->set_tcp_nodelay(true);  // no delayed-ACK pause between headers and body
    if (mOptions.keepAlive) {
        mImpl->server->set_keep_alive_timeout(1);
        if (mOptions.requestsPerConnection != 0)
            mImpl->server->set_keep_alive_max_count(mOptions.requestsPerConnection);
    } else
        mImpl->server->set_keep_alive_max_count(1);  // one request per connection, then close

    Impl* impl = mImpl.get();
    auto handler = [impl](const httplib::Request& request, httplib::Response& response) {
        impl->Handle(request, response);
    };
    mImpl->server->Get(".*", handler);
    mImpl->server->Post(".*", handler);
    mImpl->server->Put(".*", handler);
    mImpl->server->Delete(".*", handler);
    mImpl->server->Patch(".*", handler);

    const int port = mImpl->server->bind_to_any_port("127.0.0.1");
    if (port <= 0) throw std::runtime_error("test server could not bind");
    mPort = static_cast<std::uint16_t>(port);
    mImpl->thread = std::thread([impl] { impl->server->listen_after_bind(); });
    // stop() only works once the server runs.
    while (!mImpl->server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (mOptions.countConnections || mOptions.connectionLimit != 0) {
        mImpl->front = std::make_unique<ConnectionFront>(mPort, mOptions.connectionLimit,
                                                         mOptions.holdClosedConnections);
        mPort = mImpl->front->Port();
    }
}

ScriptedServer::~ScriptedServer() {
    Stop();
}

void ScriptedServer::Stop() {
    if (!mImpl->thread.joinable()) return;
    {
        std::lock_guard lock(mImpl->mutex);
        mImpl->stopping = true;
    }
    mImpl->wake.notify_all();
    mImpl->front.reset();
    mImpl->server->stop();
    mImpl->thread.join();
}

std::string ScriptedServer::Endpoint() const {
    return std::string(mOptions.secure ? "https" : "http") +
           "://localhost:" + std::to_string(mPort);
}

void ScriptedServer::PutObject(const std::string& path, std::string content) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->objects[path] = std::move(content);
}

void ScriptedServer::RemoveObject(const std::string& path) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->objects.erase(path);
}

void ScriptedServer::SetIgnoreRanges(bool ignore) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->ignoreRanges = ignore;
}

void ScriptedServer::Enqueue(std::vector<Reply> replies) {
    std::lock_guard lock(mImpl->mutex);
    for (auto& reply : replies) mImpl->queue.push_back(std::move(reply));
}

void ScriptedServer::SetHook(Hook hook) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->hook = std::move(hook);
}

std::vector<RecordedRequest> ScriptedServer::Requests() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->requests;
}

std::size_t ScriptedServer::RequestCount() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->requests.size();
}

bool ScriptedServer::WaitForJunkWrites(std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (mImpl->junkWrites.load() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::size_t ScriptedServer::PeakConnections() const {
    return mImpl->front ? mImpl->front->Peak() : 0;
}

std::size_t ScriptedServer::RefusedConnections() const {
    return mImpl->front ? mImpl->front->Refused() : 0;
}

void ScriptedServer::ReleaseClosedConnections() {
    if (mImpl->front) mImpl->front->ReleaseClosed();
}

std::size_t ScriptedServer::OpenConnections() const {
    return mImpl->front ? mImpl->front->Open() : 0;
}

std::size_t ScriptedServer::HandshakeCount() const {
    return mImpl->handshakes.load();
}

void ScriptedServer::ClearRequests() {
    std::lock_guard lock(mImpl->mutex);
    mImpl->requests.clear();
}

TrustTestAuthority::TrustTestAuthority() {
    if (const char* old = std::getenv("SETUP_LAUNCHER_CA_FILE")) mOld = old;
    setenv("SETUP_LAUNCHER_CA_FILE", TestPki::Shared().CaFile().c_str(), 1);
}

TrustTestAuthority::~TrustTestAuthority() {
    if (mOld)
        setenv("SETUP_LAUNCHER_CA_FILE", mOld->c_str(), 1);
    else
        unsetenv("SETUP_LAUNCHER_CA_FILE");
}
