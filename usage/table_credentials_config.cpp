// The table credentials one build of the launcher carries. This file is compiled once per
// configuration (a launcher_table_credentials_<configuration> library that each program links
// explicitly) with SETUP_LAUNCHER_TABLE_ACCOUNT_TEXT, SETUP_LAUNCHER_TABLE_KEY_TEXT and
// SETUP_LAUNCHER_TABLE_SAS_TEXT defined by that library.
#include <string_view>

#include "usage/table_credentials.h"

namespace {

// The local store's published development key, used when the build names no key: it only opens
// the store that scripts/local-store.sh starts on this machine.
constexpr std::string_view kDevelopmentKey =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

constexpr std::string_view kAccountText = SETUP_LAUNCHER_TABLE_ACCOUNT_TEXT;
constexpr std::string_view kConfiguredKeyText = SETUP_LAUNCHER_TABLE_KEY_TEXT;
constexpr std::string_view kKeyText =
    kConfiguredKeyText.empty() ? kDevelopmentKey : kConfiguredKeyText;

constexpr auto kStoredAccount =
    EncodeBase64Constant<Base64EncodedSize(kAccountText.size())>(kAccountText);
// The key is configured as its base64 text; its stored form is the base64 of that text.
constexpr auto kStoredKey = EncodeBase64Constant<Base64EncodedSize(kKeyText.size())>(kKeyText);

constexpr std::string_view kSasToken = SETUP_LAUNCHER_TABLE_SAS_TEXT;

}  // namespace

std::string_view StoredTableAccount() {
    return kStoredAccount.View();
}
std::string_view StoredTableKey() {
    return kStoredKey.View();
}
std::string_view ConfiguredTableSasToken() {
    return kSasToken;
}
