#include "install/iso_mount.h"

#include <algorithm>

#include "core/text_conversion.h"

void MountIsoAndOpen(SetupSelection selection) {
    MountIsoAndOpen(selection, PlatformImageMount());
}

void MountIsoAndOpen(const SetupSelection& selection, const ImageMountPlatform& platform) {
    if (selection.download_only) {
        return;
    }
    const std::vector<std::u16string> before = platform.listMountPoints();
    platform.attachReadOnly(selection.destination + ToUtf16(selection.filename));
    // Whatever appeared meanwhile is opened, also a mount point that came for another reason.
    for (const std::u16string& mountPoint : platform.listMountPoints()) {
        if (std::find(before.begin(), before.end(), mountPoint) == before.end()) {
            platform.open(mountPoint);
        }
    }
}
