#pragma once
// Fixed index signatures made once with the openssl command-line tool (independent of our own
// signing code), shared by the POSIX and the Win32 tests so that both verifier halves are held to
// the same answers. Only public keys and signatures: the private keys were thrown away.
#include <string>

namespace vectors {

// The signed "index".
inline const std::string kIndex = R"({"current_release":"1.0","releases":{}})";
// Key A, which made kSignature, and key B, which did not: base64 DER SubjectPublicKeyInfo.
inline const std::string kKeyA =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE0+HkHo2xOSPcNkyY44Qn94tRSqHH0j70YJTFIg0n5hh0SnuDiWwLkAK1"
    "24zezPj2o68TjDymiMlRkPK/z3RIKw==";
inline const std::string kKeyB =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEzbudzvXhSKPoZ6e4ukyz3XgXvlj1b9lhes/HbeahmChQcN/em+WXmH4D"
    "MKbizTGpf2Gl2ifnTVvIuzE+gYXquw==";
// base64 of r || s by key A over kIndex.
inline const std::string kSignature =
    "XY17x9ZMMRWeaccBjchie1HkLrJzFhe/V1rLrrQ2tQ6hcM0ffzGZtvNdypdvhbda88Y41LPBtfm5UZNUS9lI9A==";

}  // namespace vectors
