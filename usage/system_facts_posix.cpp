#include <sys/utsname.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <charconv>
#include <cstdlib>

#include "core/machine_bitness.h"
#include "usage/system_facts.h"

namespace {

// Reads the leading decimal number of text and moves text past it and one following '.'.
std::uint32_t TakeVersionNumber(std::string_view& text) {
    std::uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc()) {
        return 0;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (!text.empty() && text.front() == '.') {
        text.remove_prefix(1);
    }
    return value;
}

std::uint64_t PhysicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

// The locale the system runs this session with, named as setlocale(LC_ALL, "") would take it for
// character handling.
std::string_view SystemLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

}  // namespace

MachineFacts QueryMachineFacts() {
    MachineFacts facts;
    utsname names{};
    if (uname(&names) == 0) {
        // The kernel release, such as "6.1.0-18-amd64": major and minor version.
        std::string_view release = names.release;
        facts.osMajor = TakeVersionNumber(release);
        facts.osMinor = TakeVersionNumber(release);
    }
    facts.physicalMemoryBytes = PhysicalMemoryBytes();
    facts.machineGuid = ReadMachineGuid();
    facts.wow64 = IsRunningOnWow64();
    facts.recordId = NewRecordId();
    return facts;
}

LocaleFacts QuerySystemLocaleFacts() {
    return LocaleFactsFromName(SystemLocaleName());
}

std::string ReadMachineGuid() {
    return MachineGuidFromFile("/etc/machine-id");
}

std::string NewRecordId() {
    uuid_t id;
    // The safe form needs the uuid daemon (or its lock file), which ordinary machines lack; its
    // failure only says that two processes of the same moment could collide, so the ordinary
    // time-based identifier stands in for it.
    if (uuid_generate_time_safe(id) != 0) {
        uuid_generate_time(id);
    }
    if (uuid_is_null(id)) {
        return {};
    }
    char text[37];
    uuid_unparse_lower(id, text);
    return text;
}
