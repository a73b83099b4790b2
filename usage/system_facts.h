#pragma once
// The machine facts that every usage event carries: operating-system version, installed memory,
// a stable machine identifier, bitness, the system locale and the two keys under which the table
// store files the entity. Every fact is a JSON string; a fact that cannot be determined gets a
// substitute text, never an error.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// What the platform reports about the machine, before it is formatted into the entity.
struct MachineFacts {
    std::uint32_t osMajor = 0;
    std::uint32_t osMinor = 0;
    std::uint16_t spMajor = 0;
    std::uint16_t spMinor = 0;
    std::uint64_t physicalMemoryBytes = 0;
    std::string machineGuid;  // the identifier, or the "Cannot query, error: ..." text
    bool wow64 = false;       // IsRunningOnWow64()
    std::string recordId;     // a time-based UUID, empty when none could be made safely
};

// The locale data of the system default locale; "<unkown>" stands for each unanswered item.
struct LocaleFacts {
    std::string geoId;
    std::string iso3166Country;
    std::string localeName;
};

inline constexpr std::string_view kUnknownLocaleDatum = "<unkown>";

// Total physical memory in GiB rounded to a half (fraction below 0.4 down, above 0.8 up, 0.5 in
// between) and written with "%3.2lf": 7.3 gives "7.00", 7.6 "7.50", 15.9 "16.00".
std::string PhysicalMemoryText(double gibibytes);
std::string PhysicalMemoryTextFromBytes(std::uint64_t bytes);

// The UTC time as the 14 digits yyyyMMddHHmmss.
std::string PartitionKeyText(std::chrono::sys_seconds utc);

// Formats an identifier of 32 hexadecimal digits (as in a machine-id file, surrounding white space
// allowed) as a lower-case GUID 8-4-4-4-12; empty when the text is not of that form.
std::string GuidFromMachineId(std::string_view text);

// Reads an identifier file such as /etc/machine-id; when it cannot be opened or read, or does not
// hold an identifier, the text "Cannot query, error: <code> last error: <errno>" instead.
std::string MachineGuidFromFile(const std::string& path);
std::string MachineGuidErrorText(unsigned error, unsigned lastError);

// The locale facts of a POSIX locale name such as "de_DE.UTF-8@euro": country "DE", name "de-DE".
// POSIX has no geographical identifier, so "geo_id" is always the unknown text.
LocaleFacts LocaleFactsFromName(std::string_view posixName);

// Sets "OS_Major" to "record_id" (the ten members) from the given facts and time, replacing
// members of the same name.
void AddSystemFacts(nlohmann::json& entity, const MachineFacts& facts,
                    std::chrono::sys_seconds utc);
// Sets "geo_id", "iso3166_country" and "locale_sname".
void AddLocaleFacts(nlohmann::json& entity, const LocaleFacts& facts);

// The same, with the facts of this machine collected afresh.
void AddSystemFacts(nlohmann::json& entity, std::chrono::sys_seconds utc);
void AddLocaleFacts(nlohmann::json& entity);

// Platform half.
MachineFacts QueryMachineFacts();
LocaleFacts QuerySystemLocaleFacts();
// The machine's identifier as a lower-case GUID, or "Cannot query, error: <code> last error:
// <code>" when it cannot be read.
std::string ReadMachineGuid();
// A new time-based UUID in its 36-character lower-case form; empty when it could not be made
// without risk of a duplicate.
std::string NewRecordId();
