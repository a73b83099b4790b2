#pragma once
// The two descriptors at the root of an "arc" package, read straight from the open archive:
// "arcinfo.json" says which member goes where in the extraction folder, "arcconfig.json" lists the
// programs that start the product's setup by language and bitness. Reading is lenient: a missing,
// oversized or malformed descriptor gives an empty list, a mistyped member reads as empty.
#include <zip.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Descriptors are read into memory only up to this uncompressed size.
inline constexpr std::uint64_t kMaxDescriptorSize = 16u * 1024u * 1024u;

struct ArcInfoEntry {
    std::string hash;                          // member name and SHA-256 of its content
    std::vector<std::u16string> destinations;  // relative to the extraction folder, file order
};

struct StartCommand {
    std::string language;
    std::string bitness;
    std::string command;

    bool operator==(const StartCommand&) const = default;
};

// The member's text up to its first zero byte; nothing when the member is missing or claims more
// than kMaxDescriptorSize. A member that cannot be inflated reads as the empty text.
std::optional<std::string> ReadArchiveMember(zip_t* archive, const std::string& name);
// Whether the member is there but cannot be read as a descriptor: its size is unknown or above
// kMaxDescriptorSize. Such a package cannot be unpacked (a missing member reads as empty).
bool IsDescriptorTooLarge(zip_t* archive, const std::string& name);

std::vector<ArcInfoEntry> ReadArcInfo(zip_t* archive);
std::vector<StartCommand> ReadStartCommands(zip_t* archive);

// The first command whose language and bitness equal the wanted ones byte for byte ("*" is an
// ordinary value here); the empty command when none does.
StartCommand FindStartCommand(const std::vector<StartCommand>& commands,
                              const std::string& language, const std::string& bitness);

// The machine's bitness as start commands name it: "x64" or "x86".
std::string MachineBitness();

// Chooses the command to start: one for every language and bitness, else one for every language
// and the machine's bitness, else asks the user's language (SelectLanguage) and takes the one for
// that language and the machine's bitness, even when it is empty. Lets AbortException pass when
// the user cancels the question.
StartCommand ChooseStartCommand(const std::vector<StartCommand>& commands);
StartCommand ChooseStartCommand(const std::vector<StartCommand>& commands,
                                const std::string& machineBitness);
