// The interface language comes from the first non-empty of LC_ALL, LC_MESSAGES and LANG. Locale
// names ("de-DE", "de_DE.UTF-8") are matched by their ISO 639 language part, mapped onto the
// primary language ids that Windows uses, so the dialog models behave alike on both platforms.
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/text_conversion.h"
#include "ui/user_environment.h"

namespace {
struct LanguageId {
    std::string_view code;
    std::uint32_t primary;
};

// ISO 639-1 codes and their primary language ids.
constexpr LanguageId kLanguages[] = {
    {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06},
    {"de", 0x07}, {"el", 0x08}, {"en", 0x09}, {"es", 0x0a}, {"fi", 0x0b}, {"fr", 0x0c},
    {"he", 0x0d}, {"hu", 0x0e}, {"is", 0x0f}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12},
    {"nl", 0x13}, {"nb", 0x14}, {"no", 0x14}, {"pl", 0x15}, {"pt", 0x16}, {"rm", 0x17},
    {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1a}, {"sk", 0x1b}, {"sq", 0x1c}, {"sv", 0x1d},
    {"th", 0x1e}, {"tr", 0x1f}, {"ur", 0x20}, {"id", 0x21}, {"uk", 0x22}, {"be", 0x23},
    {"sl", 0x24}, {"et", 0x25}, {"lv", 0x26}, {"lt", 0x27}, {"fa", 0x29}, {"vi", 0x2a},
    {"hy", 0x2b}, {"az", 0x2c}, {"eu", 0x2d}, {"mk", 0x2f}, {"af", 0x36}, {"ka", 0x37},
    {"hi", 0x39}, {"ms", 0x3e}, {"kk", 0x3f}, {"sw", 0x41}, {"bn", 0x45}, {"ta", 0x49},
    {"gl", 0x56}, {"cy", 0x52}, {"ga", 0x3c}, {"mt", 0x3a}, {"sr", 0x1a}, {"bs", 0x1a},
};

// The language part of a locale name: the letters before "-", "_", "." or "@".
std::string LanguagePart(std::string_view name) {
    std::size_t end = name.find_first_of("-_.@");
    std::string part(name.substr(0, end));
    for (char& c : part) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return part;
}

std::uint32_t PrimaryOf(std::string_view localeName) {
    std::string part = LanguagePart(localeName);
    for (const LanguageId& language : kLanguages) {
        if (language.code == part) {
            return language.primary;
        }
    }
    return 0;
}

std::string InterfaceLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}
}  // namespace

std::uint16_t UserDefaultUILanguage() {
    std::uint32_t primary = PrimaryOf(InterfaceLocale());
    // Sublanguage 1 (the language's main country), as Windows reports for a default install;
    // English when the locale names no known language (such as "C" or "POSIX").
    if (primary == 0) {
        primary = 0x09;
    }
    return static_cast<std::uint16_t>((1u << 10) | primary);
}

std::uint32_t LocaleNameToLcid(const std::u16string& localeName) {
    std::uint32_t primary = PrimaryOf(ToUtf8(localeName));
    return primary == 0 ? 0 : ((1u << 10) | primary);
}

std::u16string DownloadsFolder() {
    const char* xdg = std::getenv("XDG_DOWNLOAD_DIR");
    if (xdg != nullptr && *xdg != '\0') {
        std::string folder = xdg;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        return ToUtf16(folder);
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        return {};
    }
    std::string folder = home;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return ToUtf16(folder + "/Downloads");
}
