#pragma once
// Signatures of release indexes: ECDSA over the P-256 curve with SHA-256. A signature is the fixed
// 64-byte form r || s (each 32 bytes, big-endian) over the exact bytes of a signed statement about
// the index (below); a public key is the DER SubjectPublicKeyInfo of an uncompressed P-256 point,
// which is what `openssl pkey -pubout -outform DER` and `setup-publisher keygen` produce. Both
// platform halves accept exactly this one key form, so a key that works on one works on the other.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t kIndexSignatureSize = 64;
inline constexpr std::size_t kP256PointSize = 64;
// The largest "index.sig" text worth reading. A statement holds a product name of at most 255
// bytes and four short lines; with its signature and base64 wrapped in lines that is well below.
inline constexpr std::size_t kIndexSignatureTextLimit = 1024;
inline constexpr std::size_t kIndexProductNameLimit = 255;

// What the publisher vouches for with one "index.sig": the statement's exact bytes are what the
// signature covers, so nothing of it is re-serialised before it is checked. The text form is
//   setup-launcher index statement 1\n
//   product <name>\n
//   sequence <decimal>\n
//   expires <decimal UTC seconds since 1970>\n      (only when the statement expires)
//   sha256 <64 lower-case hex digits of the index>\n
// in exactly this order, every line ending with one line feed, numbers without sign or leading
// zeros. The name is 1 to 255 bytes without control characters.
struct IndexStatement {
    std::string product;
    std::uint64_t sequence = 0;
    std::optional<std::int64_t> expires;
    std::string indexSha256;  // lower-case hex

    bool operator==(const IndexStatement&) const = default;
};

// The statement's text, exactly as it is signed.
std::string IndexStatementText(const IndexStatement& statement);
// The statement of exactly that text; nullopt for anything else.
std::optional<IndexStatement> ParseIndexStatement(std::string_view text);

// "index.sig": base64 of the statement's bytes followed by the 64-byte signature r || s over
// them. Blanks and line ends anywhere in the text are ignored, so base64 wrapped in lines (as
// most tools write it) reads the same.
struct SignedIndexStatement {
    std::string statement;  // the exact signed bytes
    std::string signature;  // 64 bytes
};
// nullopt when the text is larger than kIndexSignatureTextLimit, no base64, or too short to hold
// a signature and a statement.
std::optional<SignedIndexStatement> DecodeIndexSignatureText(std::string_view text);
// The text of an "index.sig": the base64 wrapped at 76 characters, each line ending with "\n".
std::string IndexSignatureText(std::string_view statement, std::string_view signature);

// The point X || Y (64 bytes) of a public key given as DER SubjectPublicKeyInfo; nullopt for
// anything that is not an uncompressed P-256 key in that form.
std::optional<std::string> P256PublicPoint(std::string_view publicKeyDer);

// True only when signature (64 bytes r || s) is a valid signature of data under the public key
// (DER SubjectPublicKeyInfo). A malformed key or signature is simply not valid.
bool VerifyIndexSignature(std::string_view data, std::string_view signature,
                          std::string_view publicKeyDer);

// Platform half: verifies a 64-byte r || s signature over SHA-256(data) under the P-256 point
// X || Y. Never throws.
bool VerifyP256Signature(std::string_view data, std::string_view signature, std::string_view point);
