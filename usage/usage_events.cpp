// Placeholder until usage reporting exists: events are not sent yet.
#include "usage/usage_events.h"

void SendUsageEvent(const std::u16string&, const std::string&, const std::string&,
                    const std::string&, std::uint32_t) {}
