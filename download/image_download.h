#pragma once
#include <cstdint>

#include "catalogue/release_index.h"

inline constexpr std::uint64_t ImageChunkSize = 10485760;

// Downloads an "iso" release in 10 MiB chunks and checks its SHA-256. Throws DownloadException.
SetupSelection DownloadImage(SetupSelection selection);
