#pragma once
// The public keys this build trusts to sign release indexes, from the build's
// SETUP_LAUNCHER_INDEX_KEYS (a ';'-separated list, so that a publisher can rotate keys). Empty by
// default: then indexes are used as the store serves them.
#include <string>
#include <vector>

// DER SubjectPublicKeyInfo bytes of each key, in the configured order.
std::vector<std::string> TrustedIndexKeys();
