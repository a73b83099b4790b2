// The user's interface language and Downloads folder as Windows reports them.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include "core/win32_support.h"
#include "ui/user_environment.h"

std::uint16_t UserDefaultUILanguage() {
    return GetUserDefaultUILanguage();
}

std::uint32_t LocaleNameToLcid(const std::u16string& localeName) {
    if (localeName.empty()) {
        return 0;
    }
    return LocaleNameToLCID(Wide(localeName), 0);
}

std::u16string DownloadsFolder() {
    PWSTR path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &path);
    // The shell's text is freed in every case.
    std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owned(path, &CoTaskMemFree);
    if (FAILED(result) || path == nullptr) {
        return {};
    }
    std::u16string folder = FromWide(path);
    while (!folder.empty() && folder.back() == u'\\') {
        folder.pop_back();
    }
    return folder;
}
