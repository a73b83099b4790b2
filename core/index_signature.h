#pragma once
// Signatures of release indexes: ECDSA over the P-256 curve with SHA-256. A signature is the fixed
// 64-byte form r || s (each 32 bytes, big-endian) over the exact bytes of the index; a public key
// is the DER SubjectPublicKeyInfo of an uncompressed P-256 point, which is what
// `openssl pkey -pubout -outform DER` and `setup-publisher keygen` produce. Both platform halves
// accept exactly this one key form, so a key that works on one works on the other.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t kIndexSignatureSize = 64;
inline constexpr std::size_t kP256PointSize = 64;
// The largest "index.sig" text worth reading: the 88 base64 characters and a line end, with room.
inline constexpr std::size_t kIndexSignatureTextLimit = 1024;

// The point X || Y (64 bytes) of a public key given as DER SubjectPublicKeyInfo; nullopt for
// anything that is not an uncompressed P-256 key in that form.
std::optional<std::string> P256PublicPoint(std::string_view publicKeyDer);

// The signature bytes from the text of an "index.sig": base64 of exactly 64 bytes, surrounding
// blanks and line ends allowed (a signature written by a shell tool ends with a line end);
// nullopt when the text is anything else.
std::optional<std::string> DecodeIndexSignatureText(std::string_view text);

// True only when signature (64 bytes r || s) is a valid signature of data under the public key
// (DER SubjectPublicKeyInfo). A malformed key or signature is simply not valid.
bool VerifyIndexSignature(std::string_view data, std::string_view signature,
                          std::string_view publicKeyDer);

// Platform half: verifies a 64-byte r || s signature over SHA-256(data) under the P-256 point
// X || Y. Never throws.
bool VerifyP256Signature(std::string_view data, std::string_view signature, std::string_view point);
