#pragma once
// What the dialogs need to know of the user: the interface language (as a Windows language id,
// whose low 10 bits are the primary language; 7 is German) and the Downloads folder.
#include <cstdint>
#include <string>

inline constexpr std::uint32_t kPrimaryLanguageGerman = 7;

inline std::uint32_t PrimaryLanguage(std::uint32_t languageId) {
    return languageId & 0x3ff;
}

std::uint16_t UserDefaultUILanguage();
// The language id of a locale name such as "de-DE"; 0 when it names no locale.
std::uint32_t LocaleNameToLcid(const std::u16string& localeName);
// The user's Downloads folder without a trailing separator; empty when it cannot be determined.
std::u16string DownloadsFolder();
