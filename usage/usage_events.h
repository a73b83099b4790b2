#pragma once
#include <cstdint>
#include <string>

// Builds, signs and sends one usage event to the table store; fire and forget.
void SendUsageEvent(const std::u16string& product, const std::string& version,
                    const std::string& action, const std::string& duration,
                    std::uint32_t launcherVersion);
