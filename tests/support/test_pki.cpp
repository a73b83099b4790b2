// Generates the test authorities and server certificates with OpenSSL.
#include "support/test_pki.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

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
struct ExtDeleter {
    void operator()(X509_EXTENSION* ext) const { X509_EXTENSION_free(ext); }
};
struct SigDeleter {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Cert = std::unique_ptr<X509, CertDeleter>;

constexpr long kDay = 24L * 60 * 60;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate generation failed: ") + what);
}

Key NewKey() {
    Key key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, ExtDeleter> ext(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    Check(ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1, "extension");
}

// Whether both numbers of the certificate's ECDSA signature take all 32 bytes of a P-256 value.
bool HasFullWidthSignature(const X509* cert) {
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, cert);
    const unsigned char* in = ASN1_STRING_get0_data(signature);
    std::unique_ptr<ECDSA_SIG, SigDeleter> sig(
        d2i_ECDSA_SIG(nullptr, &in, ASN1_STRING_length(signature)));
    return sig && BN_num_bytes(ECDSA_SIG_get0_r(sig.get())) == 32 &&
           BN_num_bytes(ECDSA_SIG_get0_s(sig.get())) == 32;
}

// A certificate for key, issued by issuer (itself when issuer is null), valid from
// notBefore to notAfter seconds relative to now.
Cert MakeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer,
                     EVP_PKEY* issuerKey, long notBefore, long notAfter,
                     const std::string& subjectAltName) {
    Cert cert(X509_new());
    Check(cert != nullptr, "certificate");
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    Check(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    Check(number != nullptr &&
              BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get())) != nullptr,
          "serial");
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfter);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (!issuer) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        AddExtension(cert.get(), signer, NID_basic_constraints, "CA:FALSE");
        AddExtension(cert.get(), signer, NID_key_usage,
                     "critical,digitalSignature,keyEncipherment");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, subjectAltName);
    }
    // Wine's certificate checks, under which the Windows program's tests run, refuse an ECDSA
    // signature whose r or s has fewer than the curve's 32 bytes (about one signature in 128);
    // Windows and OpenSSL accept it. Signing again draws a new nonce, so a certificate is signed
    // until both numbers have their full width.
    for (int attempt = 0;; ++attempt) {
        Check(attempt < 64 && X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0,
              "signature");
        if (HasFullWidthSignature(cert.get())) break;
    }
    return cert;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

PemCredentials ToPem(X509* cert, EVP_PKEY* key) {
    std::unique_ptr<BIO, BioDeleter> certBio(BIO_new(BIO_s_mem()));
    std::unique_ptr<BIO, BioDeleter> keyBio(BIO_new(BIO_s_mem()));
    Check(
        certBio && keyBio && PEM_write_bio_X509(certBio.get(), cert) == 1 &&
            PEM_write_bio_PrivateKey(keyBio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM");
    return {BioText(certBio.get()), BioText(keyBio.get())};
}

std::string AltNames(const std::vector<std::string>& dnsNames) {
    std::string text;
    for (const auto& name : dnsNames) text += "DNS:" + name + ",";
    return text + "IP:127.0.0.1";
}

struct Authority {
    Key key;
    Cert cert;
    PemCredentials Issue(const std::vector<std::string>& dnsNames, long notBefore,
                         long notAfter) const {
        Key serverKey = NewKey();
        Cert server = MakeCertificate(serverKey.get(), dnsNames.front(), cert.get(), key.get(),
                                      notBefore, notAfter, AltNames(dnsNames));
        return ToPem(server.get(), serverKey.get());
    }
};

Authority MakeAuthority(const std::string& name) {
    Authority authority{NewKey(), nullptr};
    authority.cert =
        MakeCertificate(authority.key.get(), name, nullptr, nullptr, -kDay, 30 * kDay, "");
    return authority;
}

Authority LoadAuthority(const PemCredentials& pem) {
    std::unique_ptr<BIO, BioDeleter> certBio(
        BIO_new_mem_buf(pem.certificate.data(), static_cast<int>(pem.certificate.size())));
    std::unique_ptr<BIO, BioDeleter> keyBio(
        BIO_new_mem_buf(pem.privateKey.data(), static_cast<int>(pem.privateKey.size())));
    Authority authority{Key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)),
                        Cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr))};
    Check(authority.key && authority.cert, "authority");
    return authority;
}

}  // namespace

const TestPki& TestPki::Shared() {
    static const TestPki pki;
    return pki;
}

TestPki::TestPki() {
    const Authority trusted = MakeAuthority("setup-launcher test authority");
    const Authority other = MakeAuthority("setup-launcher untrusted authority");
    mCa = ToPem(trusted.cert.get(), trusted.key.get());
    mOtherCa = ToPem(other.cert.get(), other.key.get());
    mServers.push_back(trusted.Issue({"localhost", "*.localhost"}, -kDay, 30 * kDay));
    mServers.push_back(trusted.Issue({"other.invalid"}, -kDay, 30 * kDay));
    mServers.push_back(trusted.Issue({"localhost", "*.localhost"}, -30 * kDay, -kDay));
    mServers.push_back(other.Issue({"localhost", "*.localhost"}, -kDay, 30 * kDay));

    // Not under TMPDIR: tests point that at folders of their own, which are removed while this
    // shared authority must stay for the whole test program.
    std::string pattern = "/tmp/setup-launcher-pki-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr, "folder");
    mCaFolder = pattern;
    mCaFile = mCaFolder + "/ca.pem";
    std::ofstream(mCaFile, std::ios::binary) << mCa.certificate;
}

TestPki::~TestPki() {
    std::error_code ignored;
    std::filesystem::remove_all(mCaFolder, ignored);
}

const PemCredentials& TestPki::Server(ServerCertificate kind) const {
    return mServers.at(static_cast<std::size_t>(kind));
}

PemCredentials TestPki::Issue(const std::vector<std::string>& dnsNames) const {
    return LoadAuthority(mCa).Issue(dnsNames, -kDay, 30 * kDay);
}
