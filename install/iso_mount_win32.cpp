// Attaches an image through the virtual disk service and opens the drive it gets. virtdisk.dll is
// loaded when an image is mounted, so the launcher starts also where the service is missing.
#include <windows.h>

#include <shellapi.h>
#include <virtdisk.h>

#include "core/win32_support.h"
#include "install/iso_mount.h"
#include "install/setup_process.h"

namespace {

std::vector<std::u16string> ListDriveRoots() {
    std::vector<wchar_t> buffer(4096, L'\0');
    const DWORD length = GetLogicalDriveStringsW(static_cast<DWORD>(buffer.size()), buffer.data());
    std::vector<std::u16string> roots;
    if (length == 0 || length >= buffer.size()) {
        return roots;
    }
    // "C:\", zero, "D:\", zero, ..., an empty string at the end.
    const wchar_t* root = buffer.data();
    while (*root != L'\0') {
        roots.push_back(FromWide(root));
        root += roots.back().size() + 1;
    }
    return roots;
}

void AttachReadOnly(const std::u16string& image) {
    using OpenFunction =
        DWORD(WINAPI*)(PVIRTUAL_STORAGE_TYPE, PCWSTR, VIRTUAL_DISK_ACCESS_MASK,
                       OPEN_VIRTUAL_DISK_FLAG, POPEN_VIRTUAL_DISK_PARAMETERS, PHANDLE);
    using AttachFunction = DWORD(WINAPI*)(HANDLE, PSECURITY_DESCRIPTOR, ATTACH_VIRTUAL_DISK_FLAG,
                                          ULONG, PATTACH_VIRTUAL_DISK_PARAMETERS, LPOVERLAPPED);
    const SystemLibrary virtdisk(L"virtdisk.dll");
    const auto openVirtualDisk = virtdisk.Find<OpenFunction>("OpenVirtualDisk");
    const auto attachVirtualDisk = virtdisk.Find<AttachFunction>("AttachVirtualDisk");
    if (openVirtualDisk == nullptr || attachVirtualDisk == nullptr) {
        return;
    }
    VIRTUAL_STORAGE_TYPE type{};
    type.DeviceId = VIRTUAL_STORAGE_TYPE_DEVICE_ISO;
    type.VendorId = GUID{};  // VIRTUAL_STORAGE_TYPE_VENDOR_UNKNOWN
    HANDLE opened = INVALID_HANDLE_VALUE;
    const DWORD result = openVirtualDisk(&type, Wide(image), VIRTUAL_DISK_ACCESS_ATTACH_RO,
                                         OPEN_VIRTUAL_DISK_FLAG_NONE, nullptr, &opened);
    UniqueHandle disk(result == ERROR_SUCCESS ? opened : INVALID_HANDLE_VALUE);
    if (!disk) {
        return;
    }
    // Synchronous; the permanent lifetime keeps the image attached after the handle is closed and
    // the launcher has ended. The system assigns a drive letter.
    attachVirtualDisk(
        disk.Get(), nullptr,
        static_cast<ATTACH_VIRTUAL_DISK_FLAG>(ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY |
                                              ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME),
        0, nullptr, nullptr);
}

}  // namespace

ImageMountPlatform PlatformImageMount() {
    return ImageMountPlatform{ListDriveRoots, AttachReadOnly, OpenInFileBrowser};
}
