#include "usage/system_facts.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

bool IsAsciiLower(char c) {
    return c >= 'a' && c <= 'z';
}
bool IsAsciiUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

bool AllOf(std::string_view text, bool (*predicate)(char)) {
    for (char c : text) {
        if (!predicate(c)) {
            return false;
        }
    }
    return true;
}

std::string_view TrimWhiteSpace(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r\n";
    std::size_t first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos) {
        return {};
    }
    std::size_t last = text.find_last_not_of(kBlank);
    return text.substr(first, last - first + 1);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

std::string PhysicalMemoryText(double gibibytes) {
    double whole = 0;
    double fraction = std::modf(gibibytes, &whole);
    if (fraction < 0.4) {
        fraction = 0;
    } else if (fraction > 0.8) {
        fraction = 1;
    } else {
        fraction = 0.5;
    }
    // Written like "%3.2lf", but independent of the process's numeric locale.
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, whole + fraction,
                                      std::chars_format::fixed, 2);
    if (error != std::errc()) {
        return "0.00";
    }
    return std::string(buffer, end);
}

std::string PhysicalMemoryTextFromBytes(std::uint64_t bytes) {
    return PhysicalMemoryText(static_cast<double>(bytes) * std::ldexp(1.0, -30));
}

std::string PartitionKeyText(std::chrono::sys_seconds utc) {
    using namespace std::chrono;
    const sys_days day = floor<days>(utc);
    const year_month_day date(day);
    const hh_mm_ss<seconds> time(utc - day);
    std::uint64_t key = static_cast<std::uint64_t>(static_cast<int>(date.year()));
    key = key * 100 + static_cast<unsigned>(date.month());
    key = key * 100 + static_cast<unsigned>(date.day());
    key = key * 100 + static_cast<std::uint64_t>(time.hours().count());
    key = key * 100 + static_cast<std::uint64_t>(time.minutes().count());
    key = key * 100 + static_cast<std::uint64_t>(time.seconds().count());
    return std::to_string(key);
}

std::string GuidFromMachineId(std::string_view text) {
    text = TrimWhiteSpace(text);
    if (text.size() != 32) {
        return {};
    }
    std::string guid;
    guid.reserve(36);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (IsAsciiUpper(c)) {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (!IsAsciiDigit(c) && !(c >= 'a' && c <= 'f')) {
            return {};
        }
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            guid.push_back('-');
        }
        guid.push_back(c);
    }
    return guid;
}

std::string MachineGuidErrorText(unsigned error, unsigned lastError) {
    return "Cannot query, error: " + std::to_string(error) +
           " last error: " + std::to_string(lastError);
}

std::string MachineGuidFromFile(const std::string& path) {
    errno = 0;
    FileHandle file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        const int error = errno;
        return MachineGuidErrorText(static_cast<unsigned>(error), static_cast<unsigned>(error));
    }
    // An identifier is 32 digits and a line end; anything much longer is not one.
    char buffer[128];
    const std::size_t length = std::fread(buffer, 1, sizeof buffer, file.get());
    if (std::ferror(file.get())) {
        const int error = errno;
        return MachineGuidErrorText(static_cast<unsigned>(error), static_cast<unsigned>(error));
    }
    std::string guid = GuidFromMachineId(std::string_view(buffer, length));
    if (guid.empty()) {
        return MachineGuidErrorText(EINVAL, static_cast<unsigned>(errno));
    }
    return guid;
}

LocaleFacts LocaleFactsFromName(std::string_view posixName) {
    LocaleFacts facts{std::string(kUnknownLocaleDatum), std::string(kUnknownLocaleDatum),
                      std::string(kUnknownLocaleDatum)};
    // language[_territory][.codeset][@modifier]
    std::string_view name = posixName.substr(0, posixName.find_first_of(".@"));
    std::string_view language = name.substr(0, name.find('_'));
    if (language.size() < 2 || language.size() > 3 || !AllOf(language, IsAsciiLower)) {
        return facts;  // "C", "POSIX" and other names without a language
    }
    facts.localeName = std::string(language);
    if (language.size() < name.size()) {
        std::string_view territory = name.substr(language.size() + 1);
        if (territory.size() == 2 && AllOf(territory, IsAsciiUpper)) {
            facts.iso3166Country = std::string(territory);
            facts.localeName += "-" + facts.iso3166Country;
        }
    }
    return facts;
}

void AddSystemFacts(nlohmann::json& entity, const MachineFacts& facts,
                    std::chrono::sys_seconds utc) {
    entity["OS_Major"] = std::to_string(facts.osMajor);
    entity["OS_Minor"] = std::to_string(facts.osMinor);
    entity["SP_Major"] = std::to_string(facts.spMajor);
    entity["SP_Minor"] = std::to_string(facts.spMinor);
    entity["physicalmemory_gib"] = PhysicalMemoryTextFromBytes(facts.physicalMemoryBytes);
    entity["machineguid"] = facts.machineGuid;
    entity["architecture"] = facts.wow64 ? "x64" : "x86";
    entity["PartitionKey"] = PartitionKeyText(utc);
    entity["RowKey"] = facts.machineGuid;
    entity["record_id"] = facts.recordId;
}

void AddLocaleFacts(nlohmann::json& entity, const LocaleFacts& facts) {
    entity["geo_id"] = facts.geoId;
    entity["iso3166_country"] = facts.iso3166Country;
    entity["locale_sname"] = facts.localeName;
}

void AddSystemFacts(nlohmann::json& entity, std::chrono::sys_seconds utc) {
    AddSystemFacts(entity, QueryMachineFacts(), utc);
}

void AddLocaleFacts(nlohmann::json& entity) {
    AddLocaleFacts(entity, QuerySystemLocaleFacts());
}
