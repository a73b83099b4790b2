#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/release_index.h"

// Attaches the downloaded image read-only and opens its new mount points; silent and best effort.
// Does nothing for download only.
void MountIsoAndOpen(SetupSelection selection);

// What mounting needs of the system: the current mount points (drive roots on Windows), attaching
// an image read-only (returning when the attach is done), and opening a new mount point.
struct ImageMountPlatform {
    std::function<std::vector<std::u16string>()> listMountPoints;
    std::function<void(const std::u16string& image)> attachReadOnly;
    std::function<void(const std::u16string& mountPoint)> open;
};

ImageMountPlatform PlatformImageMount();
void MountIsoAndOpen(const SetupSelection& selection, const ImageMountPlatform& platform);

// The mount points of a mount table in the text form of /proc/self/mountinfo (field 4, counted
// from 0) or /proc/mounts (field 1), with the table's octal escapes decoded.
std::vector<std::u16string> ParseMountPoints(std::string_view table, std::size_t field);
