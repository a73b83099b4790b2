// The HTTP transport over libcurl. Every exchange is one easy handle driven through a multi handle
// that the thread keeps, so connections to the same host are reused from one call to the next.
// The body is pulled: Read drives the transfer only until the next bytes are there, and the write
// callback pauses the transfer while more than a small amount waits for the reader, so memory
// stays bounded however large the object is.
#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>

#include "core/endpoints.h"
#include "net/http_transport.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// Decoded body bytes that may wait for the reader before the transfer is paused.
constexpr std::size_t kPendingLimit = 1 << 20;
constexpr long kLongestPollMilliseconds = 250;

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};

void EnsureCurlGlobal() {
    static CurlGlobal global;
}

struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509InfoStackDeleter {
    void operator()(STACK_OF(X509_INFO) * infos) const {
        sk_X509_INFO_pop_free(infos, X509_INFO_free);
    }
};

using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// The thread's multi handle with its connection cache, and the outcomes of finished transfers
// that were read from it but belong to another exchange.
struct CurlSession {
    // Sockets of connections that carried a finished transfer and may wait in the cache. Declared
    // before the multi handle, whose clean-up closes them through CloseSocket.
    std::set<curl_socket_t> kept;
    MultiHandle multi;
    std::string caFile;  // the extra authorities the cached connections were verified with
    int attached = 0;
    std::map<CURL*, CURLcode> finished;
    // The waiting-bytes buffer of the last exchange, handed to the next one: bodies of many
    // requests in a row then reuse the same memory instead of faulting fresh pages in each time.
    std::string spareBody;
};

// libcurl closes its sockets through here, so that the session forgets them.
int CloseSocket(void* user, curl_socket_t socket) {
    static_cast<CurlSession*>(user)->kept.erase(socket);
    return ::close(socket);
}

// An idle connection has nothing to say: bytes waiting on it are junk after the last body (which
// libcurl would read as the next answer) or its end. Such a connection is shut down, so that
// libcurl finds it dead and opens a new one instead of reusing it. Only done while no transfer of
// the session runs, when every cached connection is idle.
void ShutDownConnectionsWithPendingBytes(CurlSession& session) {
    if (session.attached != 0) return;
    for (const curl_socket_t socket : session.kept) {
        pollfd entry{socket, POLLIN, 0};
        if (::poll(&entry, 1, 0) > 0) ::shutdown(socket, SHUT_RDWR);
    }
}

CurlSession& CurrentSession() {
    thread_local CurlSession session;
    return session;
}

CurlSession& ThreadSession(const std::string& caFile) {
    EnsureCurlGlobal();
    CurlSession& session = CurrentSession();
    // Connections verified against other authorities, and the authorities libcurl keeps for the
    // session, are not reused.
    if (session.multi && session.caFile != caFile && session.attached == 0) session.multi.reset();
    if (!session.multi) {
        session.multi.reset(curl_multi_init());
        session.caFile = caFile;
    }
    return session;
}

// Adds the authorities of the extra PEM file to the ones the TLS library already trusts.
CURLcode AddExtraAuthorities(CURL*, void* sslContext, void* userData) {
    const auto* file = static_cast<const std::string*>(userData);
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_file(file->c_str(), "r"));
    if (!bio) return CURLE_SSL_CACERT_BADFILE;
    std::unique_ptr<STACK_OF(X509_INFO), X509InfoStackDeleter> infos(
        PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr));
    if (!infos) return CURLE_SSL_CACERT_BADFILE;
    // The store may be the one libcurl caches for the session, which already holds these
    // authorities from an earlier connection; a duplicate is no failure.
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    int found = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
        if (!info->x509) continue;
        ++found;
        X509_STORE_add_cert(store, info->x509);
    }
    ERR_clear_error();
    return found > 0 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

// Whether libcurl's built-in authority bundle is a readable file (it is on Debian).
bool SystemBundleExists(CURL* easy) {
    static const bool exists = [easy] {
        char* bundle = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &bundle) != CURLE_OK || !bundle) return false;
        std::unique_ptr<BIO, BioDeleter> file(BIO_new_file(bundle, "r"));
        return file != nullptr;
    }();
    return exists;
}

TransferErrorKind KindOf(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return TransferErrorKind::Timeout;
        case CURLE_TOO_MANY_REDIRECTS:
            return TransferErrorKind::RedirectRefused;
        case CURLE_PEER_FAILED_VERIFICATION:
            return TransferErrorKind::CertificateRejected;
        case CURLE_SSL_INVALIDCERTSTATUS:
            return TransferErrorKind::RevocationUnknown;
        default:
            return TransferErrorKind::Other;
    }
}

std::string UrlOf(const HttpTarget& target) {
    return std::string(target.secure ? "https://" : "http://") + target.server + ":" +
           std::to_string(target.port) + RequestTarget(target.path);
}

class CurlExchange final : public HttpExchange {
  public:
    CurlExchange(const HttpTarget& target, std::string caFile)
        : mTarget(target),
          mUrl(UrlOf(target)),
          mCaFile(std::move(caFile)),
          mLimits(CurrentHttpTimeLimits()) {}

    ~CurlExchange() override {
        Detach();
        if (mSession && mPending.capacity() > mSession->spareBody.capacity()) {
            mPending.clear();
            mSession->spareBody.swap(mPending);
        }
    }

    void AddHeaderIfNew(std::string_view line) override {
        const std::string_view name = line.substr(0, line.find(':'));
        for (const auto& present : mHeaders)
            if (HeaderHasName(present, name)) return;
        mHeaders.emplace_back(line);
    }

    void EnableContentDecoding() override { mDecode = true; }

    void Send(std::optional<std::string_view> body) override {
        Detach();
        ResetResponse();
        mBody = body ? std::string(*body) : std::string();

        mSession = &ThreadSession(mCaFile);
        if (mPending.capacity() < mSession->spareBody.capacity()) {
            mPending.swap(mSession->spareBody);
            mPending.clear();
        }
        mEasy.reset(curl_easy_init());
        if (!mSession->multi || !mEasy)
            throw TransferError(TransferErrorKind::Other, "libcurl could not be set up");
        Configure();
        ShutDownConnectionsWithPendingBytes(*mSession);
        if (curl_multi_add_handle(mSession->multi.get(), mEasy.get()) != CURLM_OK)
            throw TransferError(TransferErrorKind::Other, "libcurl refused the request");
        mAttached = true;
        ++mSession->attached;

        Drive([this] { return mHeadersDone; });
        if (mHeadersDone) return;
        ThrowForResult();
    }

    std::optional<int> StatusCode() const override { return mStatus; }

    std::optional<std::string> ResponseHeader(std::string_view name) const override {
        if (!mHeadersDone) return std::nullopt;
        return ResponseHeaderValue(name);
    }

    void WaiveRevocationCheck() override { mIgnoreRevocation = true; }

    // Proxy credentials are whatever the environment's proxy settings carry; there is no dialog.
    bool ProxyCredentialsStep(bool) override { return false; }

    std::size_t Read(char* buffer, std::size_t capacity) override {
        if (capacity == 0) return 0;
        if (Waiting() > 0) {
            const std::size_t n = std::min(capacity, Waiting());
            std::memcpy(buffer, mPending.data() + mPendingOffset, n);
            mPendingOffset += n;
            if (mPendingOffset == mPending.size()) {
                mPending.clear();
                mPendingOffset = 0;
            }
            return n;
        }
        // Nothing waits: the transfer writes straight into the caller's buffer (only what does
        // not fit waits in mPending), so the bytes are copied once on their way to the caller.
        // The buffer is forgotten however the read ends, so that no later transfer of this
        // exchange writes into it.
        struct DirectTarget {
            CurlExchange& self;
            DirectTarget(CurlExchange& exchange, char* buffer, std::size_t capacity)
                : self(exchange) {
                self.mDirect = buffer;
                self.mDirectRoom = capacity;
                self.mDirectGot = 0;
            }
            ~DirectTarget() { self.ForgetDirectTarget(); }
            DirectTarget(const DirectTarget&) = delete;
            DirectTarget& operator=(const DirectTarget&) = delete;
        };
        std::size_t n = 0;
        {
            DirectTarget target(*this, buffer, capacity);
            if (mPaused && mAttached) {
                // Resuming may deliver the held-back bytes at once, into the buffer set above.
                mPaused = false;
                curl_easy_pause(mEasy.get(), CURLPAUSE_CONT);
            }
            Drive([this] { return mDirectGot > 0; });
            n = mDirectGot;
        }
        if (n > 0) return n;
        if (mResult == CURLE_OK) return 0;
        ThrowForResult();
    }

  private:
    bool HasResponseHeader(std::string_view name) const {
        return ResponseHeaderValue(name).has_value();
    }

    std::optional<std::string> ResponseHeaderValue(std::string_view name) const {
        for (const auto& line : mResponseHeaders) {
            if (!HeaderHasName(line, name)) continue;
            std::string_view value = std::string_view(line).substr(line.find(':') + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.remove_suffix(1);
            return std::string(value);
        }
        return std::nullopt;
    }

    std::size_t Waiting() const { return mPending.size() - mPendingOffset; }

    void ForgetDirectTarget() {
        mDirect = nullptr;
        mDirectRoom = 0;
        mDirectGot = 0;
    }

    void ResetResponse() {
        mHeadersDone = false;
        mResponseHeaders.clear();
        mCurrentStatus = 0;
        mStatus.reset();
        mDone = false;
        mResult = CURLE_OK;
        mPending.clear();
        mPendingOffset = 0;
        ForgetDirectTarget();
        mPaused = false;
        mSeenDown = mSeenUp = -1;
        mRedirects = 0;
        mLastLocation.clear();
    }

    void Configure() {
        CURL* easy = mEasy.get();
        curl_easy_setopt(easy, CURLOPT_URL, mUrl.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_USERAGENT, mUserAgent.c_str());
        // A GET follows redirects to HTTPS only, each hop verified like the first; the range and
        // the caller's headers go along. A POST (a signed insert) follows none.
        if (Follows()) {
            curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
            curl_easy_setopt(easy, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
            curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        } else {
            curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        }
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(mLimits.connect.count()));
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        // The system's bundle file alone, without the hashed folder beside it: then libcurl keeps
        // the parsed authorities for the session instead of reading them for every connection.
        if (SystemBundleExists(easy)) curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
        if (mIgnoreRevocation)
            curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NO_REVOKE));
        if (!mCaFile.empty()) {
            curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &AddExtraAuthorities);
            curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &mCaFile);
        }
        curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        if (mDecode) curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");

        // The caller's headers as given; no "Expect: 100-continue" round trip, and no content
        // type the caller did not ask for (it is part of what the stores sign).
        curl_slist* list = nullptr;
        auto append = [&list](const std::string& line) {
            if (curl_slist* grown = curl_slist_append(list, line.c_str())) list = grown;
        };
        bool hasContentType = false;
        for (const auto& line : mHeaders) {
            append(line);
            hasContentType = hasContentType || HeaderHasName(line, "Content-Type");
        }
        append("Expect:");
        if (!hasContentType) append("Content-Type:");
        mHeaderList.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, mHeaderList.get());

        switch (mTarget.verb) {
            case HttpVerb::Get:
                curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
                if (mTarget.headOnly) curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
                break;
            case HttpVerb::Post:
            case HttpVerb::Put:
                curl_easy_setopt(easy, CURLOPT_POST, 1L);
                curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                                 static_cast<curl_off_t>(mBody.size()));
                curl_easy_setopt(easy, CURLOPT_POSTFIELDS, mBody.c_str());
                if (mTarget.verb == HttpVerb::Put)
                    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "PUT");
                break;
            case HttpVerb::Delete:
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
                break;
        }

        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &CloseSocket);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, mSession);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlExchange::OnHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlExchange::OnBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlExchange::OnProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    }

    // Runs the transfer until done() holds, it ends, or it makes no progress for too long.
    template <typename Predicate>
    void Drive(Predicate done) {
        if (!mAttached) return;  // nothing sent, or the transfer already ended
        mLastProgress = SteadyClock::now();
        while (!done() && !mDone) {
            int running = 0;
            if (curl_multi_perform(mSession->multi.get(), &running) != CURLM_OK) {
                Finish(CURLE_RECV_ERROR);
                return;
            }
            CollectFinished();
            if (done() || mDone) return;

            const auto idle = SteadyClock::now() - mLastProgress;
            if (idle >= mLimits.stall) {
                Finish(CURLE_OPERATION_TIMEDOUT);
                return;
            }
            long wait = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(mLimits.stall - idle)
                    .count() +
                1);
            long suggested = -1;
            curl_multi_timeout(mSession->multi.get(), &suggested);
            if (suggested >= 0) wait = std::min(wait, suggested);
            wait = std::min(wait, kLongestPollMilliseconds);
            curl_multi_poll(mSession->multi.get(), nullptr, 0, static_cast<int>(wait), nullptr);
        }
    }

    void CollectFinished() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(mSession->multi.get(), &left)) {
            if (message->msg == CURLMSG_DONE)
                mSession->finished[message->easy_handle] = message->data.result;
        }
        auto own = mSession->finished.find(mEasy.get());
        if (own != mSession->finished.end()) {
            const CURLcode result = own->second;
            mSession->finished.erase(own);
            Finish(result);
        }
    }

    void Finish(CURLcode result) {
        mDone = true;
        mResult = result;
        // The connection that carried the transfer, when libcurl keeps it for another.
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(mEasy.get(), CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK &&
            socket != CURL_SOCKET_BAD)
            mSession->kept.insert(socket);
        Detach();
        ShutDownConnectionsWithPendingBytes(*mSession);
    }

    void Detach() {
        if (mAttached) {
            curl_multi_remove_handle(mSession->multi.get(), mEasy.get());
            mSession->finished.erase(mEasy.get());
            --mSession->attached;
            mAttached = false;
        }
    }

    bool Follows() const { return mTarget.verb == HttpVerb::Get; }

    [[noreturn]] void ThrowForResult() const {
        const CURLcode code = mResult != CURLE_OK ? mResult : CURLE_GOT_NOTHING;
        if (code == CURLE_TOO_MANY_REDIRECTS)
            throw TransferError(TransferErrorKind::RedirectRefused,
                                "more than " + std::to_string(kMaxRedirects) + " redirects");
        // libcurl refuses to follow a redirect to a scheme other than HTTPS this way.
        if (code == CURLE_UNSUPPORTED_PROTOCOL && mRedirects > 0)
            throw TransferError(TransferErrorKind::RedirectRefused,
                                "redirect to a location that is not HTTPS: " + mLastLocation);
        throw TransferError(KindOf(code), curl_easy_strerror(code));
    }

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<CurlExchange*>(user);
        const std::string_view line(data, size * count);
        self->mLastProgress = SteadyClock::now();
        if (line.rfind("HTTP/", 0) == 0) {
            self->mResponseHeaders.clear();
            const auto space = line.find(' ');
            self->mCurrentStatus = space == std::string_view::npos
                                       ? 0
                                       : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        } else if (line == "\r\n" || line == "\n") {
            // The end of one response's headers; interim 1xx answers are followed by the real
            // one, and so are redirects that libcurl follows.
            const bool followed = IsFollowedRedirect(self->mCurrentStatus) && self->Follows() &&
                                  self->HasResponseHeader("Location");
            if (followed) {
                ++self->mRedirects;
                self->mLastLocation = self->ResponseHeaderValue("Location").value_or("");
            } else if (self->mCurrentStatus >= 200) {
                self->mStatus = self->mCurrentStatus;
                self->mHeadersDone = true;
            }
        } else if (line.find(':') != std::string_view::npos) {
            std::string_view header = line;
            while (!header.empty() && (header.back() == '\n' || header.back() == '\r'))
                header.remove_suffix(1);
            self->mResponseHeaders.emplace_back(header);
        }
        return size * count;
    }

    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<CurlExchange*>(user);
        const std::size_t n = size * count;
        const std::size_t room = self->mDirectRoom - self->mDirectGot;
        if (room == 0 && self->Waiting() >= kPendingLimit) {
            self->mPaused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        const std::size_t direct = std::min(room, n);
        if (direct > 0) {
            std::memcpy(self->mDirect + self->mDirectGot, data, direct);
            self->mDirectGot += direct;
        }
        if (direct < n) self->mPending.append(data + direct, n - direct);
        self->mLastProgress = SteadyClock::now();
        return n;
    }

    static int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t,
                          curl_off_t uploaded) {
        auto* self = static_cast<CurlExchange*>(user);
        if (downloaded != self->mSeenDown || uploaded != self->mSeenUp) {
            self->mSeenDown = downloaded;
            self->mSeenUp = uploaded;
            self->mLastProgress = SteadyClock::now();
        }
        return 0;
    }

    HttpTarget mTarget;
    std::string mUrl;
    std::string mUserAgent = UserAgentName();
    std::string mCaFile;
    HttpTimeLimits mLimits;
    std::vector<std::string> mHeaders;
    bool mDecode = false;
    bool mIgnoreRevocation = false;
    std::string mBody;

    CurlSession* mSession = nullptr;
    HeaderList mHeaderList;
    EasyHandle mEasy;
    bool mAttached = false;

    bool mHeadersDone = false;
    std::vector<std::string> mResponseHeaders;
    int mCurrentStatus = 0;
    std::optional<int> mStatus;
    bool mDone = false;
    CURLcode mResult = CURLE_OK;
    std::string mPending;  // body bytes that arrived beyond the reader's buffer
    std::size_t mPendingOffset = 0;
    char* mDirect = nullptr;  // the buffer of the Read in progress
    std::size_t mDirectRoom = 0;
    std::size_t mDirectGot = 0;
    bool mPaused = false;
    SteadyClock::time_point mLastProgress;
    curl_off_t mSeenDown = -1;
    curl_off_t mSeenUp = -1;
    int mRedirects = 0;
    std::string mLastLocation;
};

}  // namespace

void ReleaseIdleConnections() {
    CurlSession& session = CurrentSession();
    if (session.attached == 0) session.multi.reset();
}

std::unique_ptr<HttpExchange> OpenHttpExchange(const HttpTarget& target) {
    if (target.server.empty()) return nullptr;
    return std::make_unique<CurlExchange>(target, ExtraCaFile());
}
