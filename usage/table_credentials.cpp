#include "usage/table_credentials.h"

#include "core/base64.h"

TableCredentials DecodeTableCredentials(std::string_view storedAccount, std::string_view storedKey,
                                        std::string_view sasToken) {
    TableCredentials credentials;
    credentials.account = Base64Decode(storedAccount);
    credentials.key = Base64Decode(Base64Decode(storedKey));
    if (!sasToken.empty() && sasToken.front() == '?') {
        sasToken.remove_prefix(1);
    }
    credentials.sasToken = std::string(sasToken);
    return credentials;
}

TableCredentials ConfiguredTableCredentials() {
    return DecodeTableCredentials(StoredTableAccount(), StoredTableKey(),
                                  ConfiguredTableSasToken());
}
