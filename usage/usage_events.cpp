#include "usage/usage_events.h"

#include <ctime>
#include <iomanip>
#include <locale>
#include <optional>
#include <sstream>

#include "core/base64.h"
#include "core/clock.h"
#include "core/hash_context.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"
#include "usage/system_facts.h"

namespace {

constexpr std::string_view kTablePath = "/downloads";

std::function<std::chrono::system_clock::time_point()> gUsageClock;
// The second of the previous event of this process.
std::optional<std::chrono::sys_seconds> gPreviousEventSecond;

std::chrono::sys_time<std::chrono::milliseconds> UsageNow() {
    auto now = gUsageClock ? gUsageClock() : std::chrono::system_clock::now();
    return std::chrono::floor<std::chrono::milliseconds>(now);
}

std::string JsonString(const std::string& text) {
    // Invalid UTF-8 becomes U+FFFD rather than failing the event.
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

void SetUsageClock(std::function<std::chrono::system_clock::time_point()> clock) {
    gUsageClock = std::move(clock);
}

void ResetUsageEventsForTesting() {
    gPreviousEventSecond.reset();
}

std::chrono::sys_seconds ClaimEventSecond() {
    using namespace std::chrono;
    auto now = UsageNow();
    auto second = floor<seconds>(now);
    if (gPreviousEventSecond && second == *gPreviousEventSecond) {
        const auto wait = (second + 1s) - now;
        SleepMilliseconds(static_cast<std::uint64_t>(wait.count()));
        second = floor<seconds>(UsageNow());
        if (second == *gPreviousEventSecond) {
            // The clock did not move on (too coarse, or set back meanwhile): the wait has passed
            // the second all the same.
            second += 1s;
        }
    }
    gPreviousEventSecond = second;
    return second;
}

nlohmann::json UsageEventEntity(const UsageEvent& event) {
    nlohmann::json entity = nlohmann::json::object();
    entity["product"] = ToUtf8(event.product);
    entity["version"] = event.version;
    entity["version_setuplauncher"] = std::to_string(event.launcherVersion);
    entity["action"] = event.action;
    entity["duration"] = event.duration.empty() ? std::string("0") : event.duration;
    return entity;
}

std::string SerializeEntity(const nlohmann::json& entity) {
    // The object's members are kept ordered by name, byte by byte.
    std::string text = "{";
    bool first = true;
    for (const auto& [name, value] : entity.items()) {
        if (!first) {
            text += ", ";
        }
        first = false;
        text += JsonString(name);
        text += ": ";
        text += value.is_string()
                    ? JsonString(value.get<std::string>())
                    : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    text += "}";
    return text;
}

std::string UsageDateText(std::chrono::sys_seconds utc) {
    using namespace std::chrono;
    const sys_days day = floor<days>(utc);
    const year_month_day date(day);
    const hh_mm_ss<seconds> time(utc - day);
    std::tm parts{};
    parts.tm_year = static_cast<int>(date.year()) - 1900;
    parts.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
    parts.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
    parts.tm_hour = static_cast<int>(time.hours().count());
    parts.tm_min = static_cast<int>(time.minutes().count());
    parts.tm_sec = static_cast<int>(time.seconds().count());
    parts.tm_wday = static_cast<int>(weekday(day).c_encoding());
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::put_time(&parts, "%a, %d %b %Y %H:%M:%S GMT");
    return out.str();
}

std::string TableStringToSign(const std::string& date, const std::string& account) {
    return date + "\n/" + account + std::string(kTablePath);
}

TableInsert BuildTableInsert(const std::string& body, std::chrono::sys_seconds utc,
                             const TableCredentials& credentials) {
    const std::string date = UsageDateText(utc);
    TableInsert insert;
    insert.path = ToUtf16(kTablePath);
    insert.body = body;
    insert.headers.push_back(u"Content-Length: " + ToUtf16(std::to_string(body.size())));
    insert.headers.push_back(u"x-ms-date: " + ToUtf16(date));
    if (credentials.sasToken.empty()) {
        const std::string signature =
            Base64Encode(HmacSha256(credentials.key, TableStringToSign(date, credentials.account)));
        insert.headers.push_back(u"Authorization: SharedKeyLite " +
                                 ToUtf16(credentials.account + ":" + signature));
    } else {
        // The token authorises the request by itself; the account key is not needed.
        insert.path += u"?" + ToUtf16(credentials.sasToken);
    }
    insert.headers.push_back(u"Content-Type: application/json");
    insert.headers.push_back(u"Accept: application/json;odata=fullmetadata");
    insert.headers.push_back(u"x-ms-version: 2016-05-31");
    return insert;
}

void SendUsageEvent(const UsageEvent& event, const TableCredentials& credentials,
                    const Endpoint& table) {
    const std::chrono::sys_seconds utc = ClaimEventSecond();
    nlohmann::json entity = UsageEventEntity(event);
    AddSystemFacts(entity, utc);
    AddLocaleFacts(entity);
    const TableInsert insert = BuildTableInsert(SerializeEntity(entity), utc, credentials);
    const std::uint16_t port = EffectivePort(table);
    // Fire and forget: whatever the store answers, the launch goes on.
    HttpPost(table.host, insert.path, table.secure, port, insert.headers, insert.body);
}

void SendUsageEvent(const std::u16string& product, const std::string& version,
                    const std::string& action, const std::string& duration,
                    std::uint32_t launcherVersion) {
    SendUsageEvent(UsageEvent{product, version, action, duration, launcherVersion},
                   ConfiguredTableCredentials(), ConfiguredTableEndpoint());
}
