#pragma once
// Certificates for tests, made when the tests run (nothing is committed): one trusted authority,
// whose PEM file tests hand to the launcher through SETUP_LAUNCHER_CA_FILE, and server
// certificates that are good or fail verification in one particular way.
#include <string>
#include <vector>

enum class ServerCertificate {
    Good,                // for "localhost" and 127.0.0.1, from the trusted authority, valid now
    OtherHost,           // from the trusted authority, valid, but only for "other.invalid"
    Expired,             // for "localhost", from the trusted authority, ended yesterday
    UntrustedAuthority,  // for "localhost", valid, from an authority nobody trusts
};

struct PemCredentials {
    std::string certificate;  // PEM
    std::string privateKey;   // PEM (PKCS#8)
};

class TestPki {
  public:
    // The process's authorities and certificates, generated on first use.
    static const TestPki& Shared();

    // A PEM file holding the trusted authority's certificate; it lives as long as the process.
    const std::string& CaFile() const { return mCaFile; }
    const std::string& CaPem() const { return mCa.certificate; }
    const PemCredentials& Server(ServerCertificate kind) const;

    // A further certificate from the trusted authority for the given DNS names (and 127.0.0.1).
    PemCredentials Issue(const std::vector<std::string>& dnsNames) const;

    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;
    ~TestPki();

  private:
    TestPki();
    PemCredentials mCa;
    PemCredentials mOtherCa;
    std::vector<PemCredentials> mServers;  // by ServerCertificate
    std::string mCaFolder;
    std::string mCaFile;
};
