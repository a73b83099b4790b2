#include "win32_test_support.h"

#include <wincrypt.h>
#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "core/text_conversion.h"

namespace {
std::filesystem::path Native(const std::u16string& path) {
    return std::filesystem::path(
        std::wstring(reinterpret_cast<const wchar_t*>(path.data()), path.size()));
}

std::u16string TempRoot() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    std::u16string root(reinterpret_cast<const char16_t*>(buffer), length);
    while (!root.empty() && root.back() == u'\\') root.pop_back();
    return root;
}

// Owns one socket.
class Socket {
  public:
    explicit Socket(SOCKET socket) : mSocket(socket) {}
    ~Socket() {
        if (mSocket != INVALID_SOCKET) closesocket(mSocket);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SOCKET Get() const { return mSocket; }

  private:
    SOCKET mSocket;
};

struct WinsockSession {
    WinsockSession() {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession() { WSACleanup(); }
};
}  // namespace

TempFolder::TempFolder() {
    static int counter = 0;
    mPath = TempRoot() + u"\\Größe-" + ToUtf16(std::to_string(GetCurrentProcessId())) + u"-" +
            ToUtf16(std::to_string(++counter));
    std::filesystem::remove_all(Native(mPath));
    std::filesystem::create_directories(Native(mPath));
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    // Read-only files would stop the removal.
    for (auto it = std::filesystem::recursive_directory_iterator(Native(mPath), ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::filesystem::remove_all(Native(mPath), ignored);
}

void WriteBytes(const std::u16string& path, const std::string& bytes) {
    std::ofstream out(Native(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + ToUtf8(path));
}

std::string ReadBytes(const std::u16string& path) {
    std::ifstream in(Native(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::u16string& path) {
    return GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str())) !=
           INVALID_FILE_ATTRIBUTES;
}

TestServers& TestServers::Shared() {
    static TestServers servers;
    return servers;
}

TestServers::TestServers() {
    const char* port = std::getenv("SETUP_LAUNCHER_TEST_CONTROL");
    if (port == nullptr || *port == '\0')
        throw std::runtime_error(
            "SETUP_LAUNCHER_TEST_CONTROL is not set: run the tests through win32-test-server");
    mControlPort = static_cast<std::uint16_t>(std::atoi(port));
    const nlohmann::json ports = nlohmann::json::parse(Control("GET", "/ports").body);
    for (const auto& [name, value] : ports.items()) mPorts[name] = value.get<std::uint16_t>();
}

// One HTTP/1.0 exchange over a plain socket, independent of the transport under test.
TestServers::Answer TestServers::Control(const std::string& method, const std::string& target,
                                         const std::string& body) {
    static WinsockSession winsock;
    Socket connection(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(mControlPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connection.Get() == INVALID_SOCKET ||
        connect(connection.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot reach the test server's control port");
    const std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
                                "Content-Length: " + std::to_string(body.size()) +
                                "\r\nConnection: close\r\n\r\n" + body;
    for (std::size_t sent = 0; sent < request.size();) {
        const int n = send(connection.Get(), request.data() + sent,
                           static_cast<int>(request.size() - sent), 0);
        if (n <= 0) throw std::runtime_error("cannot send to the control port");
        sent += static_cast<std::size_t>(n);
    }
    std::string response;
    char buffer[8192];
    for (;;) {
        const int n = recv(connection.Get(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        response.append(buffer, static_cast<std::size_t>(n));
    }
    const auto headerEnd = response.find("\r\n\r\n");
    const auto space = response.find(' ');
    if (headerEnd == std::string::npos || space == std::string::npos)
        throw std::runtime_error("no answer from the control port");
    Answer answer;
    answer.status = std::atoi(response.c_str() + space + 1);
    answer.body = response.substr(headerEnd + 4);
    if (answer.status != 200)
        throw std::runtime_error(method + " " + target + " answered " +
                                 std::to_string(answer.status) + ": " + answer.body);
    return answer;
}

std::string TestServers::AuthorityPem() {
    return Control("GET", "/ca").body;
}

void TestServers::PutObject(const std::string& server, const std::string& path,
                            const std::string& content) {
    Control("PUT", "/object/" + server + "/" + path, content);
}

void TestServers::Enqueue(const std::string& server, const nlohmann::json& replies) {
    Control("POST", "/enqueue/" + server, replies.dump());
}

nlohmann::json TestServers::Requests(const std::string& server) {
    return nlohmann::json::parse(Control("GET", "/requests/" + server).body);
}

void TestServers::Clear(const std::string& server) {
    Control("POST", "/clear/" + server);
}

int TestServers::Handshakes(const std::string& server) {
    return std::atoi(Control("GET", "/handshakes/" + server).body.c_str());
}

nlohmann::json TestServers::Connections(const std::string& server) {
    return nlohmann::json::parse(Control("GET", "/connections/" + server).body);
}

std::vector<std::string> HeaderValues(const nlohmann::json& request, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& header : request.at("headers")) {
        const std::string key = header[0].get<std::string>();
        if (key.size() == name.size() && _stricmp(key.c_str(), name.c_str()) == 0)
            values.push_back(header[1].get<std::string>());
    }
    return values;
}

namespace {
// Whether a chain engine made now (one that opens the stores afresh) ends the authority's chain
// at a trusted root.
bool IsTrustedRoot(PCCERT_CONTEXT certificate) {
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = sizeof config;
    HCERTCHAINENGINE engine = nullptr;
    if (!CertCreateCertificateChainEngine(&config, &engine)) return false;
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const bool trusted = CertGetCertificateChain(engine, certificate, nullptr, nullptr, &parameters,
                                                 0, nullptr, &chain) &&
                         (chain->TrustStatus.dwErrorStatus &
                          (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) == 0;
    if (chain != nullptr) CertFreeCertificateChain(chain);
    CertFreeCertificateChainEngine(engine);
    return trusted;
}
}  // namespace

TrustedTestAuthority::TrustedTestAuthority(const std::string& pem) {
    DWORD size = 0;
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                         nullptr);
    std::vector<BYTE> der(size);
    if (size == 0 || !CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(),
                                           &size, nullptr, nullptr))
        return;
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == nullptr) return;
    mStore = store;
    // Added, written to the registry (where chain engines open the store by themselves), and
    // checked from a fresh engine; a store still being filled gets a few more chances.
    for (int round = 0; round < 10 && !mTrusted; ++round) {
        if (round > 0) Sleep(200);
        PCCERT_CONTEXT certificate = nullptr;
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                              CERT_STORE_ADD_REPLACE_EXISTING, &certificate))
            continue;
        if (mCertificate != nullptr)
            CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(mCertificate));
        mCertificate = certificate;
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        mTrusted = IsTrustedRoot(certificate);
    }
}

TrustedTestAuthority::~TrustedTestAuthority() {
    if (mCertificate != nullptr)
        CertDeleteCertificateFromStore(static_cast<PCCERT_CONTEXT>(mCertificate));
    if (mStore != nullptr) {
        CertControlStore(mStore, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(mStore, 0);
    }
}
