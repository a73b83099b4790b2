// A far link between a client and a server on this machine: a TCP proxy on 127.0.0.1 that holds
// every byte back by half the round-trip time in each direction, paces each connection's bytes
// towards the client to a per-connection rate (what one TCP connection gets over a long path) and
// all connections' bytes towards the clients together to the line rate. It forwards bytes as they
// are, so TLS passes through untouched and the server's certificate still names the host the
// client asked for.
//
// far_link_proxy --target <port> --rtt-ms <ms> --connection-rate <rate> --line-rate <rate>
//                [--max-connections <n>] [--lifetime <seconds>] [--port-file <file>] [--verbose]
//
// Rates are bytes per second with an optional K, M or G suffix (powers of 1000: "20M" is
// 20 MB/s). The proxy listens on a free port of 127.0.0.1, writes it to --port-file (or to
// standard output) and ends by itself after --lifetime seconds (default 3600), so a benchmark
// that dies cannot leave it behind for long. With --max-connections, a connection beyond that many
// open ones is reset one round trip after it was accepted, as a store or proxy that allows only so
// many connections per client does; a connection counts as open until the client closes it.
//
// What it models: propagation delay (also for the TCP handshake: the first bytes towards the
// server wait one extra round trip), a per-connection bottleneck and a shared line. What it does
// not: loss, slow start and the growth of a connection's window; a new connection runs at its
// full rate after its handshake.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One socket, closed when its owner goes.
class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : mFd(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            Reset();
            mFd = std::exchange(other.mFd, -1);
        }
        return *this;
    }
    ~Socket() { Reset(); }

    int Fd() const { return mFd; }
    bool Valid() const { return mFd >= 0; }

  private:
    void Reset() {
        if (mFd >= 0) {
            ::close(mFd);
            mFd = -1;
        }
    }
    int mFd = -1;
};

// Hands out the times at which bytes may leave so that they leave at no more than a rate. Time
// not used is saved up for at most 20 ms, so a writer that woke late (a busy machine) catches up
// instead of losing rate, and an idle pacer gives no more than a small burst.
class Pacer {
  public:
    explicit Pacer(double bytesPerSecond) : mBytesPerSecond(bytesPerSecond) {}

    // The time at which `bytes` may start to leave; the next bytes wait until these are through.
    Clock::time_point Reserve(std::size_t bytes) {
        std::lock_guard lock(mMutex);
        auto now = Clock::now();
        auto start = std::max(now - kSlack, mNext);
        mNext = start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(bytes / mBytesPerSecond));
        return std::max(start, now);
    }

  private:
    static constexpr auto kSlack = std::chrono::milliseconds(20);
    const double mBytesPerSecond;
    std::mutex mMutex;
    Clock::time_point mNext{};
};

struct Settings {
    int mTargetPort = 0;
    Clock::duration mOneWay{};
    double mConnectionRate = 0;
    double mLineRate = 0;
    std::chrono::seconds mLifetime{3600};
    int mMaxConnections = 0;  // 0: no limit
    std::string mPortFile;
    bool mVerbose = false;
};

// Bytes read on one side, waiting until they may be written on the other. Bounded: the reader
// waits when the line is full, so the sender feels the back pressure as it would over a real path.
class DelayLine {
  public:
    struct Piece {
        std::vector<char> mBytes;  // empty: the sender closed its side
        Clock::time_point mRelease;
    };

    explicit DelayLine(std::size_t limit) : mLimit(limit) {}

    // False when the line was closed meanwhile.
    bool Push(Piece piece) {
        std::unique_lock lock(mMutex);
        mRoom.wait(lock, [&] { return mClosed || mQueued < mLimit; });
        if (mClosed) {
            return false;
        }
        mQueued += piece.mBytes.size();
        mPieces.push_back(std::move(piece));
        mReady.notify_one();
        return true;
    }

    // Nothing once the line was closed.
    std::optional<Piece> Pop() {
        std::unique_lock lock(mMutex);
        mReady.wait(lock, [&] { return mClosed || !mPieces.empty(); });
        if (mClosed) {
            return std::nullopt;
        }
        Piece piece = std::move(mPieces.front());
        mPieces.pop_front();
        mQueued -= piece.mBytes.size();
        mRoom.notify_one();
        return piece;
    }

    void Close() {
        std::lock_guard lock(mMutex);
        mClosed = true;
        mReady.notify_all();
        mRoom.notify_all();
    }

  private:
    const std::size_t mLimit;
    std::mutex mMutex;
    std::condition_variable mReady;
    std::condition_variable mRoom;
    std::deque<Piece> mPieces;
    std::size_t mQueued = 0;
    bool mClosed = false;
};

constexpr std::size_t kReadSize = 32 * 1024;

bool WriteAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// One client connection and its connection to the server: four threads, one reader and one
// writer per direction, joined before the sockets close.
class Session {
  public:
    // `open` counts the connections the client keeps open; this session leaves it once the client
    // has closed its side (or the session ends).
    Session(const Settings& settings, Pacer& line, Socket client, Socket server, int number,
            std::atomic<int>& open)
        : mOpen(open),
          mSettings(settings),
          mLine(line),
          mClient(std::move(client)),
          mServer(std::move(server)),
          mNumber(number),
          mAccepted(Clock::now()),
          mConnectionPacer(settings.mConnectionRate),
          // Room for what the paced side sends during one delay, twice over, so the delay alone
          // never starves the writer.
          mUp(1 << 20),
          mDown(std::max<std::size_t>(
              1 << 20,
              static_cast<std::size_t>(2 * std::min(settings.mConnectionRate, settings.mLineRate) *
                                       std::chrono::duration<double>(settings.mOneWay).count()))) {}

    void Run() {
        // Towards the server: the client's first bytes leave after the TCP handshake's round trip
        // and then take half a round trip, as over the real path.
        const auto handshake = mAccepted + 3 * mSettings.mOneWay;
        std::thread upReader([&] {
            Read(mClient.Fd(), mUp, handshake);
            // The client closed (or the path broke): a server sees that close half a round trip
            // later, before any connection the client opens afterwards, so it no longer counts
            // against a limit of connections, though its last bytes may still be on their way.
            LeaveOpenCount();
        });
        std::thread upWriter([&] { Write(mServer.Fd(), mUp, false); });
        std::thread downReader([&] { Read(mServer.Fd(), mDown, Clock::time_point{}); });
        std::thread downWriter([&] { Write(mClient.Fd(), mDown, true); });
        upReader.join();
        upWriter.join();
        downReader.join();
        downWriter.join();
        LeaveOpenCount();
        if (mSettings.mVerbose) {
            double seconds = std::chrono::duration<double>(Clock::now() - mAccepted).count();
            std::fprintf(stderr, "far_link_proxy: connection %d: %llu bytes down in %.2f s%s\n",
                         mNumber, static_cast<unsigned long long>(mBytesDown.load()), seconds,
                         mAborted ? " (cut)" : "");
        }
    }

  private:
    // Reads from `from` into `line`, each piece held back by half a round trip, and never before
    // `notBefore`.
    void Read(int from, DelayLine& line, Clock::time_point notBefore) {
        for (;;) {
            std::vector<char> bytes(kReadSize);
            ssize_t got = ::recv(from, bytes.data(), bytes.size(), 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                Abort();
                return;
            }
            bytes.resize(static_cast<std::size_t>(got));
            auto release = std::max(Clock::now() + mSettings.mOneWay, notBefore);
            if (!line.Push({std::move(bytes), release}) || got == 0) {
                return;
            }
        }
    }

    // Writes what `line` releases to `to`; towards the client also paced by the connection's
    // rate and the line's.
    void Write(int to, DelayLine& line, bool paced) {
        for (;;) {
            auto piece = line.Pop();
            if (!piece) {
                return;
            }
            std::this_thread::sleep_until(piece->mRelease);
            if (piece->mBytes.empty()) {
                ::shutdown(to, SHUT_WR);
                return;
            }
            if (paced) {
                std::this_thread::sleep_until(mConnectionPacer.Reserve(piece->mBytes.size()));
                std::this_thread::sleep_until(mLine.Reserve(piece->mBytes.size()));
                mBytesDown += piece->mBytes.size();
            }
            if (!WriteAll(to, piece->mBytes.data(), piece->mBytes.size())) {
                Abort();
                return;
            }
        }
    }

    void LeaveOpenCount() {
        if (mCounted.exchange(false)) {
            --mOpen;
        }
    }

    // One side failed (reset, cut): the other side is cut too, as a broken path would.
    void Abort() {
        mAborted = true;
        struct linger hard {
            1, 0
        };
        ::setsockopt(mClient.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::setsockopt(mServer.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::shutdown(mClient.Fd(), SHUT_RDWR);
        ::shutdown(mServer.Fd(), SHUT_RDWR);
        mUp.Close();
        mDown.Close();
    }

    std::atomic<int>& mOpen;
    std::atomic<bool> mCounted{true};
    const Settings& mSettings;
    Pacer& mLine;
    Socket mClient;
    Socket mServer;
    const int mNumber;
    const Clock::time_point mAccepted;
    Pacer mConnectionPacer;
    DelayLine mUp;
    DelayLine mDown;
    std::atomic<std::uint64_t> mBytesDown{0};
    std::atomic<bool> mAborted{false};
};

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

Socket ConnectToTarget(int port) {
    Socket server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!server.Valid()) {
        return server;
    }
    auto address = Loopback(port);
    if (::connect(server.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Socket();
    }
    return server;
}

// "20M" -> 20000000
double ParseRate(const std::string& text) {
    std::size_t used = 0;
    double value = std::stod(text, &used);
    std::string unit = text.substr(used);
    if (unit == "K" || unit == "k") {
        value *= 1e3;
    } else if (unit == "M" || unit == "m") {
        value *= 1e6;
    } else if (unit == "G" || unit == "g") {
        value *= 1e9;
    } else if (!unit.empty()) {
        throw std::invalid_argument("not a rate: " + text);
    }
    if (!(value > 0)) {
        throw std::invalid_argument("not a rate: " + text);
    }
    return value;
}

Settings ParseArguments(int argc, char** argv) {
    Settings settings;
    bool rtt = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--verbose") {
            settings.mVerbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            throw std::invalid_argument("missing value of " + name);
        }
        std::string value = argv[++i];
        if (name == "--target") {
            settings.mTargetPort = std::stoi(value);
        } else if (name == "--rtt-ms") {
            settings.mOneWay = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(std::stod(value) / 2));
            rtt = true;
        } else if (name == "--connection-rate") {
            settings.mConnectionRate = ParseRate(value);
        } else if (name == "--line-rate") {
            settings.mLineRate = ParseRate(value);
        } else if (name == "--max-connections") {
            settings.mMaxConnections = std::stoi(value);
        } else if (name == "--lifetime") {
            settings.mLifetime = std::chrono::seconds(std::stoi(value));
        } else if (name == "--port-file") {
            settings.mPortFile = value;
        } else {
            throw std::invalid_argument("unknown argument " + name);
        }
    }
    if (settings.mTargetPort <= 0 || settings.mTargetPort > 65535 || !rtt ||
        settings.mConnectionRate <= 0 || settings.mLineRate <= 0 ||
        settings.mLifetime.count() <= 0 || settings.mMaxConnections < 0) {
        throw std::invalid_argument(
            "usage: far_link_proxy --target <port> --rtt-ms <ms> --connection-rate <rate> "
            "--line-rate <rate> [--max-connections <n>] [--lifetime <seconds>] [--port-file "
            "<file>] [--verbose]");
    }
    return settings;
}

void AnnouncePort(const Settings& settings, int port) {
    if (settings.mPortFile.empty()) {
        std::printf("%d\n", port);
        std::fflush(stdout);
        return;
    }
    // Written whole under another name first, so a reader never sees half a number.
    std::string partial = settings.mPortFile + ".partial";
    {
        std::ofstream file(partial);
        file << port << '\n';
        if (!file) {
            throw std::runtime_error("cannot write " + partial);
        }
    }
    if (std::rename(partial.c_str(), settings.mPortFile.c_str()) != 0) {
        throw std::runtime_error("cannot write " + settings.mPortFile);
    }
}

int Serve(const Settings& settings) {
    Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.Valid()) {
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    int yes = 1;
    ::setsockopt(listener.Fd(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    auto address = Loopback(0);
    if (::bind(listener.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.Fd(), 128) != 0) {
        throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
    }
    socklen_t length = sizeof address;
    ::getsockname(listener.Fd(), reinterpret_cast<sockaddr*>(&address), &length);
    AnnouncePort(settings, ntohs(address.sin_port));

    // Sessions outlive nothing: the process ends with its lifetime, cutting whatever is open.
    static Pacer line(settings.mLineRate);
    static std::atomic<int> open{0};
    const auto end = Clock::now() + settings.mLifetime;
    int number = 0;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            std::fprintf(stderr, "far_link_proxy: lifetime over, ending\n");
            return 0;
        }
        pollfd waiting{listener.Fd(), POLLIN, 0};
        int ready = ::poll(&waiting, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready <= 0) {
            continue;
        }
        Socket client(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.Valid()) {
            continue;
        }
        if (settings.mMaxConnections > 0 && open.load() >= settings.mMaxConnections) {
            ++number;
            if (settings.mVerbose) {
                std::fprintf(stderr, "far_link_proxy: connection %d: reset, %d open\n", number,
                             open.load());
            }
            std::thread([refused = std::move(client), delay = 2 * settings.mOneWay] {
                std::this_thread::sleep_for(delay);
                struct linger hard {
                    1, 0
                };
                ::setsockopt(refused.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }).detach();
            continue;
        }
        Socket server = ConnectToTarget(settings.mTargetPort);
        if (!server.Valid()) {
            std::fprintf(stderr, "far_link_proxy: cannot reach port %d: %s\n", settings.mTargetPort,
                         std::strerror(errno));
            continue;
        }
        for (int fd : {client.Fd(), server.Fd()}) {
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        }
        ++open;
        auto session = std::make_shared<Session>(settings, line, std::move(client),
                                                 std::move(server), ++number, open);
        std::thread([session] { session->Run(); }).detach();
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Settings settings = ParseArguments(argc, argv);
        int status = Serve(settings);
        // Open sessions are cut with the process; their threads are not waited for.
        std::fflush(stderr);
        std::_Exit(status);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "far_link_proxy: %s\n", error.what());
        return 2;
    }
}
