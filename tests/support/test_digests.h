#pragma once
// Digests as the tests expect them: a release's block list and a file's SHA-256 text, and the
// published HMAC-SHA-256 vectors that both digest halves are held to.
#include <cstdint>
#include <string>
#include <vector>

// The MD5 of each block of data, as the block list of a release names them (lower-case hex).
std::vector<std::string> DigestsOf(const std::string& data, std::uint64_t blockSize);
// The digest list as a store holds it: a JSON array of the digests.
std::string DigestListJson(const std::vector<std::string>& digests);
// The SHA-256 of data as lower-case hex.
std::string Sha256Of(const std::string& data);

namespace vectors {

struct HmacCase {
    std::string key;
    std::string data;
    const char* hex;  // HMAC-SHA-256 of data under key
};

// The RFC 4231 cases 1, 2 and 6 (the last with a key longer than the block, hashed first).
inline const std::vector<HmacCase> kHmacSha256 = {
    {std::string(20, '\x0b'), "Hi There",
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"Jefe", "what do ya want for nothing?",
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
};

}  // namespace vectors
