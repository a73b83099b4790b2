#include "tools/publisher/usage_report_reader.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "core/hash_context.h"
#include "core/safe_text.h"
#include "core/text_conversion.h"

namespace {

using namespace std::chrono;

std::string PartitionKeyText(sys_seconds time) {
    const sys_days day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss<seconds> clock(time - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02u%02ld%02ld%02ld", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long>(clock.hours().count()),
                  static_cast<long>(clock.minutes().count()),
                  static_cast<long>(clock.seconds().count()));
    return text;
}

// An OData string literal: single quotes, inner quotes doubled.
std::string Literal(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

enum class MemberState { Present, Missing, Unparsable };

struct Member {
    MemberState state = MemberState::Missing;
    std::string text;  // bounded
};

// A string member; null, absent and empty count as missing, other types as unparsable.
Member TextMember(const nlohmann::json& entity, const char* name) {
    const auto found = entity.find(name);
    if (found == entity.end() || found->is_null()) return {};
    if (!found->is_string()) return {MemberState::Unparsable, ""};
    const std::string& text = found->get_ref<const std::string&>();
    if (text.empty()) return {};
    return {MemberState::Present, KeptText(text)};
}

bool AllDigits(const std::string& text, std::size_t maxLength) {
    return !text.empty() && text.size() <= maxLength &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

class EntityReader {
  public:
    EntityReader(const nlohmann::json& entity, EntityQuality& quality)
        : mEntity(entity), mQuality(quality) {}

    // The member's text, or nullopt after counting its problem.
    std::optional<std::string> Required(const char* name) {
        const Member member = TextMember(mEntity, name);
        if (member.state == MemberState::Present) return member.text;
        Count(name, member.state);
        return std::nullopt;
    }

    // A fact: its text, or kMissing / kUnparsable after counting the problem.
    std::string Fact(const char* name, bool (*valid)(const std::string&) = nullptr) {
        Member member = TextMember(mEntity, name);
        if (member.state == MemberState::Present && valid != nullptr && !valid(member.text))
            member.state = MemberState::Unparsable;
        if (member.state == MemberState::Present) return member.text;
        Count(name, member.state);
        return member.state == MemberState::Missing ? kMissing : kUnparsable;
    }

    void Count(const std::string& name, MemberState state) {
        ++mQuality.problems[name + (state == MemberState::Missing ? " missing" : " unparsable")];
    }
    void Count(const std::string& problem) { ++mQuality.problems[problem]; }

  private:
    const nlohmann::json& mEntity;
    EntityQuality& mQuality;
};

bool IsSmallNumber(const std::string& text) {
    return AllDigits(text, 9);
}

std::string OsVersion(EntityReader& reader) {
    const std::string major = reader.Fact("OS_Major", IsSmallNumber);
    const std::string minor = reader.Fact("OS_Minor", IsSmallNumber);
    if (major == kUnparsable || minor == kUnparsable) return kUnparsable;
    if (major == kMissing || minor == kMissing) return kMissing;
    return major + "." + minor;
}

// "16.00" style totals in GiB, sorted into classes of doubling size.
std::string MemoryClassOf(EntityReader& reader) {
    const std::string text = reader.Fact("physicalmemory_gib", [](const std::string& value) {
        const auto dot = value.find('.');
        return AllDigits(value.substr(0, dot), 6) &&
               (dot == std::string::npos || AllDigits(value.substr(dot + 1), 6));
    });
    if (text == kMissing || text == kUnparsable) return text;
    double gib = 0;
    std::from_chars(text.data(), text.data() + text.size(), gib);
    if (gib < 4) return "under 4 GiB";
    if (gib < 8) return "4 to 8 GiB";
    if (gib < 16) return "8 to 16 GiB";
    if (gib < 32) return "16 to 32 GiB";
    return "32 GiB and more";
}

// Cuts the elements of a page's "value" list out of its text without parsing them, so that each
// entity can be parsed on its own. Only strings (with their escapes) and nesting are followed
// here; whether the rest of the page is JSON is left to the parser (PageEntities parses the page
// with every element replaced by null).
class PageCutter {
  public:
    explicit PageCutter(std::string_view text) : mText(text) {}

    // The element texts of the top-level object's one "value" member; false when the page is
    // not of that shape.
    bool Cut(std::vector<std::string_view>& elements) {
        bool found = false;
        SkipSpace();
        if (!Eat('{')) return false;
        do {
            SkipSpace();
            const std::size_t nameStart = mAt;
            if (!SkipString()) return false;
            const std::string_view name = mText.substr(nameStart, mAt - nameStart);
            SkipSpace();
            if (!Eat(':')) return false;
            SkipSpace();
            if (name == "\"value\"") {
                if (found || !CutList(elements)) return false;
                found = true;
            } else if (!SkipValue()) {
                return false;
            }
            SkipSpace();
        } while (Eat(','));
        return found && Eat('}');
    }

  private:
    bool CutList(std::vector<std::string_view>& elements) {
        if (!Eat('[')) return false;
        SkipSpace();
        if (Eat(']')) return true;
        do {
            SkipSpace();
            const std::size_t start = mAt;
            if (!SkipValue()) return false;
            elements.push_back(mText.substr(start, mAt - start));
            SkipSpace();
        } while (Eat(','));
        return Eat(']');
    }

    bool Eat(char c) {
        if (mAt >= mText.size() || mText[mAt] != c) return false;
        ++mAt;
        return true;
    }

    void SkipSpace() {
        while (mAt < mText.size() &&
               std::string_view(" \t\r\n").find(mText[mAt]) != std::string_view::npos)
            ++mAt;
    }

    bool SkipString() {
        if (!Eat('"')) return false;
        while (mAt < mText.size()) {
            const char c = mText[mAt++];
            if (c == '"') return true;
            if (c == '\\') ++mAt;  // the escaped character, whatever it is
        }
        return false;
    }

    // A string, a balanced object or list, or a bare word (number, true, false, null).
    bool SkipValue() {
        if (mAt >= mText.size()) return false;
        const char first = mText[mAt];
        if (first == '"') return SkipString();
        if (first != '{' && first != '[') {
            const std::size_t start = mAt;
            while (mAt < mText.size() &&
                   std::string_view(" \t\r\n,:]}[{\"").find(mText[mAt]) == std::string_view::npos)
                ++mAt;
            return mAt > start;
        }
        std::string closers;
        while (mAt < mText.size()) {
            const char c = mText[mAt];
            if (c == '"') {
                if (!SkipString()) return false;
                continue;
            }
            ++mAt;
            if (c == '{' || c == '[') {
                closers.push_back(c == '{' ? '}' : ']');
            } else if (c == '}' || c == ']') {
                if (closers.empty() || closers.back() != c) return false;
                closers.pop_back();
                if (closers.empty()) return true;
            }
        }
        return false;
    }

    std::string_view mText;
    std::size_t mAt = 0;
};

[[noreturn]] void ThrowPageFailure(const ReportSource& source, const StoreResult& result) {
    const std::string detail = SafeText(result.message);
    const Endpoint& endpoint = source.access.table;
    const std::string where = "https://" + ToUtf8(endpoint.host) +
                              (endpoint.port != 0 ? ":" + std::to_string(endpoint.port) : "");
    if (result.status == 0)
        throw ReportError(ReportFailure::StoreUnreachable,
                          "cannot reach the table store at " + where + ": " + detail);
    if (result.status == 401 || result.status == 403)
        throw ReportError(ReportFailure::CredentialRefused,
                          "the table store at " + where + " refused the credentials: " + detail);
    if (result.status == 404)
        throw ReportError(ReportFailure::TableMissing, "the table \"" + SafeText(source.table) +
                                                           "\" does not exist at " + where + ": " +
                                                           detail);
    throw PublisherError("reading the table \"" + SafeText(source.table) + "\" failed: " + detail);
}

}  // namespace

std::string KeptText(const std::string& text) {
    if (text.size() <= kMaxMemberBytes) return text;
    return BoundedText(text, kMaxMemberBytes - 36) + "#" +
           HashText(text, "SHA256", true).substr(0, 32);
}

std::optional<std::vector<std::optional<nlohmann::json>>> PageEntities(std::string_view page) {
    std::vector<std::string_view> elements;
    if (!PageCutter(page).Cut(elements)) return std::nullopt;
    // The page without its entities must be JSON by itself, with exactly their places in "value".
    std::string skeleton;
    std::size_t copied = 0;
    for (const std::string_view element : elements) {
        const auto at = static_cast<std::size_t>(element.data() - page.data());
        skeleton.append(page.substr(copied, at - copied)).append("null");
        copied = at + element.size();
    }
    skeleton.append(page.substr(copied));
    const nlohmann::json outline = nlohmann::json::parse(skeleton, nullptr, false);
    if (outline.is_discarded() || !outline.is_object()) return std::nullopt;
    const auto value = outline.find("value");
    if (value == outline.end() || !value->is_array() || value->size() != elements.size() ||
        !std::all_of(value->begin(), value->end(), [](const auto& v) { return v.is_null(); }))
        return std::nullopt;
    std::vector<std::optional<nlohmann::json>> entities;
    entities.reserve(elements.size());
    for (const std::string_view element : elements) {
        nlohmann::json entity = nlohmann::json::parse(element, nullptr, false);
        if (entity.is_discarded())
            entities.emplace_back();
        else
            entities.emplace_back(std::move(entity));
    }
    return entities;
}

std::optional<sys_seconds> ParsePartitionKey(const std::string& text) {
    if (text.size() != 14 || !AllDigits(text, 14)) return std::nullopt;
    auto number = [&text](std::size_t at, std::size_t length) {
        return std::stoi(text.substr(at, length));
    };
    const year_month_day date{year(number(0, 4)), month(static_cast<unsigned>(number(4, 2))),
                              day(static_cast<unsigned>(number(6, 2)))};
    const int hour = number(8, 2), minute = number(10, 2), second = number(12, 2);
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    return sys_days(date) + hours(hour) + minutes(minute) + seconds(second);
}

std::string UsageEventFilter(const ReportWindow& window, const std::string& product) {
    // Keys compare as text, so a bound past the year 9999 (15 digits) would sort before every
    // key: the last second a key can name is the bound then.
    const sys_seconds last = sys_days(year(9999) / December / 31) + days(1) - seconds(1);
    const sys_seconds end = window.End() + kLaunchMatchLimit;
    std::string filter = "PartitionKey ge " +
                         Literal(PartitionKeyText(window.Begin() - kLaunchMatchLimit)) +
                         (end > last ? " and PartitionKey le " + Literal(PartitionKeyText(last))
                                     : " and PartitionKey lt " + Literal(PartitionKeyText(end)));
    if (!product.empty()) filter += " and product eq " + Literal(product);
    return filter;
}

std::optional<UsageRecord> RecordFromEntity(const nlohmann::json& entity, EntityQuality& quality) {
    if (!entity.is_object()) {
        ++quality.problems["entity not an object"];
        return std::nullopt;
    }
    EntityReader reader(entity, quality);
    UsageRecord record;
    bool usable = true;
    if (const auto key = reader.Required("PartitionKey")) {
        const auto time = ParsePartitionKey(*key);
        if (time) {
            record.time = *time;
        } else {
            reader.Count("PartitionKey", MemberState::Unparsable);
            usable = false;
        }
    } else {
        usable = false;
    }
    const auto action = reader.Required("action");
    if (action && *action != "begin" && *action != "success") reader.Count("action unknown");
    usable = usable && action && (*action == "begin" || *action == "success");
    const auto product = reader.Required("product");
    const auto release = reader.Required("version");
    const auto machine = reader.Required("machineguid");
    usable = usable && product && release && machine;

    record.osVersion = OsVersion(reader);
    record.architecture = reader.Fact("architecture");
    record.memoryClass = MemoryClassOf(reader);
    record.country = reader.Fact("iso3166_country");
    record.locale = reader.Fact("locale_sname");
    if (usable && *action == "success") {
        record.action = UsageAction::Success;
        const std::string duration =
            reader.Fact("duration", [](const std::string& text) { return AllDigits(text, 12); });
        if (duration != kMissing && duration != kUnparsable)
            record.durationSeconds = std::stoull(duration);
    }
    if (!usable) {
        ++quality.entitiesLeftOut;
        return std::nullopt;
    }
    record.product = *product;
    record.release = *release;
    record.machine = *machine;
    return record;
}

UsageEvents ReadUsageEvents(const ReportSource& source, const ReadProgress& progress) {
    TableStoreClient client(source.access);
    const std::string filter = UsageEventFilter(source.window, source.product);
    UsageEvents events;
    TableContinuation from;
    do {
        const TableQueryPage page = client.QueryEntities(source.table, filter, from);
        if (!page.result.ok) ThrowPageFailure(source, page.result);
        const auto entities = PageEntities(page.body);
        if (!entities)
            throw PublisherError("the table store's answer is no list of entities (page " +
                                 std::to_string(events.quality.pages + 1) + ")");
        ++events.quality.pages;
        for (const std::optional<nlohmann::json>& entity : *entities) {
            if (++events.quality.entitiesRead > kMaxReportEntities)
                throw PublisherError("the window holds more than " +
                                     std::to_string(kMaxReportEntities) +
                                     " events; choose a shorter one with --since and --until");
            if (!entity) {
                ++events.quality.entitiesUnreadable;
                continue;
            }
            if (auto record = RecordFromEntity(*entity, events.quality))
                events.records.push_back(std::move(*record));
        }
        if (progress) progress(events.quality);
        if (!page.next.Empty() && page.next == from)
            throw PublisherError("the table store handed out the same continuation twice");
        from = page.next;
    } while (!from.Empty());
    return events;
}
