#pragma once
// The launcher's own version, compared with a release's "required_setup". The publisher reads it
// too, to refuse a release that no launcher of this version could install.
#include <cstdint>

inline constexpr std::uint32_t LauncherVersion = 5;
