#pragma once
// Helpers of the Win32 tests: temporary folders and files on Windows paths, and the client of the
// scripted test server's control port (SETUP_LAUNCHER_TEST_CONTROL, set by win32-test-server).
#include <windows.h>

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

// A fresh folder under the temporary folder (its name holds non-ASCII letters), removed with all
// it holds at the end of the scope. Path() ends without a separator.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::u16string& Path() const { return mPath; }
    // Path() + "\" + name.
    std::u16string operator/(const std::u16string& name) const { return mPath + u"\\" + name; }

  private:
    std::u16string mPath;
};

void WriteBytes(const std::u16string& path, const std::string& bytes);
std::string ReadBytes(const std::u16string& path);
bool Exists(const std::u16string& path);

// The scripted servers: "http", "https", "untrusted", "otherhost", "expired", "counted",
// "limited".
class TestServers {
  public:
    // Connects to the control port; fails the test when it is not there.
    static TestServers& Shared();

    std::uint16_t Port(const std::string& server) const { return mPorts.at(server); }
    std::string AuthorityPem();
    void PutObject(const std::string& server, const std::string& path, const std::string& content);
    void Enqueue(const std::string& server, const nlohmann::json& replies);
    nlohmann::json Requests(const std::string& server);
    void Clear(const std::string& server);
    int Handshakes(const std::string& server);
    // {"peak": connections open at once at most, "refused": connections reset beyond the limit}.
    nlohmann::json Connections(const std::string& server);

  private:
    TestServers();
    struct Answer {
        int status = 0;
        std::string body;
    };
    Answer Control(const std::string& method, const std::string& target,
                   const std::string& body = std::string());

    std::uint16_t mControlPort = 0;
    std::map<std::string, std::uint16_t> mPorts;
};

// The test authority of the scripted servers in the current user's root store, where the
// certificate checks of Windows (and Wine) find it, for the lifetime of the object.
class TrustedTestAuthority {
  public:
    explicit TrustedTestAuthority(const std::string& pem);
    ~TrustedTestAuthority();
    TrustedTestAuthority(const TrustedTestAuthority&) = delete;
    TrustedTestAuthority& operator=(const TrustedTestAuthority&) = delete;
    // Whether the certificate checks now take the authority as a trusted root.
    bool Trusted() const { return mTrusted; }

  private:
    void* mStore = nullptr;
    const void* mCertificate = nullptr;
    bool mTrusted = false;
};

// The values of a header (case-insensitive name) in one recorded request.
std::vector<std::string> HeaderValues(const nlohmann::json& request, const std::string& name);
