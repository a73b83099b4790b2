#pragma once
// Usage events: one entity per event, inserted into the table "downloads" of the table store,
// signed with the SharedKeyLite scheme (or authorised by an add-only SAS token). Fire and forget:
// the store's answer is never examined.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/endpoints.h"
#include "usage/table_credentials.h"

// Builds, signs and sends one usage event to the table store; fire and forget.
void SendUsageEvent(const std::u16string& product, const std::string& version,
                    const std::string& action, const std::string& duration,
                    std::uint32_t launcherVersion);

struct UsageEvent {
    std::u16string product;
    std::string version;   // the chosen release's key
    std::string action;    // "begin" or "success"
    std::string duration;  // decimal seconds; empty is sent as "0"
    std::uint32_t launcherVersion = 0;
};

// The same with the given credentials and table endpoint instead of the configured ones.
void SendUsageEvent(const UsageEvent& event, const TableCredentials& credentials,
                    const Endpoint& table);

// The event's own members: "product", "version", "version_setuplauncher", "action", "duration".
nlohmann::json UsageEventEntity(const UsageEvent& event);

// The entity's text: members in byte order of their names, ", " between members and ": " between
// name and value, strings escaped as JSON strings.
std::string SerializeEntity(const nlohmann::json& entity);

// "Tue, 05 Mar 2024 14:07:09 GMT": English names whatever the process's locale.
std::string UsageDateText(std::chrono::sys_seconds utc);

// The SharedKeyLite string to sign: the date, a line feed and "/" + account + "/downloads".
std::string TableStringToSign(const std::string& date, const std::string& account);

// One insert into the usage table, ready for HttpPost.
struct TableInsert {
    std::u16string path;                  // "/downloads", or "/downloads?<token>"
    std::vector<std::u16string> headers;  // without line ends, in sending order
    std::string body;
};

TableInsert BuildTableInsert(const std::string& body, std::chrono::sys_seconds utc,
                             const TableCredentials& credentials);

// The UTC clock that dates events; an empty function restores the system clock.
void SetUsageClock(std::function<std::chrono::system_clock::time_point()> clock);

// The second an event is dated and filed under. The store keys an entity by this second and the
// machine, so two events of one process never share a second: when the next event would fall in
// the second of the previous one, this waits (SleepMilliseconds) for the next second.
std::chrono::sys_seconds ClaimEventSecond();
// Forgets the previous event's second.
void ResetUsageEventsForTesting();
