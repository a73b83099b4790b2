#include "install/archive_descriptors.h"

#include <cstring>
#include <memory>

#include "core/json_reader.h"
#include "core/machine_bitness.h"
#include "core/text_conversion.h"
#include "install/archive.h"
#include "ui/language_selection.h"

namespace {

struct MemberCloser {
    void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
};

JsonValue ParseDescriptor(zip_t* archive, const char* name) {
    const std::optional<std::string> text = ReadArchiveMember(archive, name);
    if (!text) {
        return JsonValue();
    }
    return JsonValue::Parse(*text);
}

}  // namespace

std::optional<std::string> ReadArchiveMember(zip_t* archive, const std::string& name) {
    zip_uint64_t index = 0;
    if (!LocateMember(archive, name, index)) {
        return std::nullopt;
    }
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0 ||
        stat.size > kMaxDescriptorSize) {
        return std::nullopt;
    }
    // A member that cannot be inflated leaves zero bytes, which read as an empty document.
    std::string text(static_cast<std::size_t>(stat.size), '\0');
    if (std::unique_ptr<zip_file_t, MemberCloser> member(zip_fopen_index(archive, index, 0));
        member) {
        std::size_t done = 0;
        while (done < text.size()) {
            const zip_int64_t got = zip_fread(member.get(), text.data() + done, text.size() - done);
            if (got <= 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
    }
    text.resize(std::strlen(text.c_str()));
    return text;
}

bool IsDescriptorTooLarge(zip_t* archive, const std::string& name) {
    zip_uint64_t index = 0;
    if (!LocateMember(archive, name, index)) {
        return false;
    }
    zip_stat_t stat;
    zip_stat_init(&stat);
    return zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0 ||
           stat.size > kMaxDescriptorSize;
}

std::vector<ArcInfoEntry> ReadArcInfo(zip_t* archive) {
    const std::vector<JsonValue> elements = ParseDescriptor(archive, "arcinfo.json").Elements();
    std::vector<ArcInfoEntry> entries;
    entries.reserve(elements.size());
    for (const JsonValue& element : elements) {
        ArcInfoEntry entry;
        entry.hash = element["hash"].String();
        for (const JsonValue& destination : element["dst"].Elements()) {
            entry.destinations.push_back(ToUtf16(destination.String()));
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<StartCommand> ReadStartCommands(zip_t* archive) {
    const std::vector<JsonValue> elements =
        ParseDescriptor(archive, "arcconfig.json")["startCommands"].Elements();
    std::vector<StartCommand> commands;
    commands.reserve(elements.size());
    for (const JsonValue& element : elements) {
        commands.push_back(StartCommand{element["language"].String(), element["bitness"].String(),
                                        element["command"].String()});
    }
    return commands;
}

StartCommand FindStartCommand(const std::vector<StartCommand>& commands,
                              const std::string& language, const std::string& bitness) {
    for (const StartCommand& command : commands) {
        if (command.bitness == bitness && command.language == language) {
            return command;
        }
    }
    return StartCommand{};
}

std::string MachineBitness() {
    return IsRunningOnWow64() ? "x64" : "x86";
}

StartCommand ChooseStartCommand(const std::vector<StartCommand>& commands) {
    return ChooseStartCommand(commands, MachineBitness());
}

StartCommand ChooseStartCommand(const std::vector<StartCommand>& commands,
                                const std::string& machineBitness) {
    // A found entry whose command is empty does not end the search.
    StartCommand chosen = FindStartCommand(commands, "*", "*");
    if (!chosen.command.empty()) {
        return chosen;
    }
    chosen = FindStartCommand(commands, "*", machineBitness);
    if (!chosen.command.empty()) {
        return chosen;
    }
    const std::string language = SelectLanguage() == LanguageSelectionDlg::kGerman ? "de" : "en";
    return FindStartCommand(commands, language, machineBitness);
}
