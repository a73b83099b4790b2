// The machine facts as Windows reports them: the kernel's version query, the physical memory, the
// registry's machine identifier, the system default locale and a sequential UUID.
#include <windows.h>

#include <rpc.h>

#include <vector>

#include "core/machine_bitness.h"
#include "core/text_conversion.h"
#include "core/win32_support.h"
#include "usage/system_facts.h"

namespace {

struct RegistryKeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};

struct RpcStringDeleter {
    void operator()(RPC_WSTR text) const { RpcStringFreeW(&text); }
};

std::string LocaleDatum(LCTYPE type) {
    wchar_t buffer[200] = {};
    int length = GetLocaleInfoEx(LOCALE_NAME_SYSTEM_DEFAULT, type, buffer, 200);
    if (length <= 0) {
        // A system that does not know the pseudo name of the system default locale is asked by
        // the locale's own name.
        wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
        if (GetSystemDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) > 0) {
            length = GetLocaleInfoEx(name, type, buffer, 200);
        }
    }
    if (length <= 0) {
        return std::string(kUnknownLocaleDatum);
    }
    // The length counts the terminating zero.
    return ToUtf8(FromWide(buffer, static_cast<std::size_t>(length - 1)));
}

}  // namespace

MachineFacts QueryMachineFacts() {
    MachineFacts facts;
    // RtlGetVersion tells the real version, whatever compatibility the program declares.
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (const auto rtlGetVersion =
            LookUpFunction<RtlGetVersionFunction>(L"ntdll.dll", "RtlGetVersion")) {
        rtlGetVersion(&version);
    }
    facts.osMajor = version.dwMajorVersion;
    facts.osMinor = version.dwMinorVersion;
    facts.spMajor = version.wServicePackMajor;
    facts.spMinor = version.wServicePackMinor;

    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (GlobalMemoryStatusEx(&memory) != FALSE) {
        facts.physicalMemoryBytes = memory.ullTotalPhys;
    }
    facts.machineGuid = ReadMachineGuid();
    facts.wow64 = IsRunningOnWow64();
    facts.recordId = NewRecordId();
    return facts;
}

LocaleFacts QuerySystemLocaleFacts() {
    return LocaleFacts{LocaleDatum(LOCALE_IGEOID), LocaleDatum(LOCALE_SISO3166CTRYNAME),
                       LocaleDatum(LOCALE_SNAME)};
}

std::string ReadMachineGuid() {
    // A 32-bit launcher on 64-bit Windows reads the 64-bit view, where the identifier lives.
    REGSAM access = KEY_READ;
    if (IsRunningOnWow64()) {
        access |= KEY_WOW64_64KEY;
    }
    HKEY opened = nullptr;
    LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Cryptography", 0, access, &opened);
    if (status != ERROR_SUCCESS) {
        return MachineGuidErrorText(static_cast<unsigned>(status), GetLastError());
    }
    std::unique_ptr<std::remove_pointer_t<HKEY>, RegistryKeyCloser> key(opened);
    wchar_t value[129] = {};
    DWORD type = 0;
    DWORD size = 128 * sizeof(wchar_t);
    status = RegQueryValueExW(key.get(), L"MachineGuid", nullptr, &type,
                              reinterpret_cast<LPBYTE>(value), &size);
    if (status == ERROR_SUCCESS && type != REG_SZ) {
        status = ERROR_INVALID_DATA;
    }
    if (status != ERROR_SUCCESS) {
        return MachineGuidErrorText(static_cast<unsigned>(status), GetLastError());
    }
    // The stored size may or may not count a terminating zero; the buffer's extra unit ends it.
    return ToUtf8(FromWide(value));
}

std::string NewRecordId() {
    UUID id{};
    // Only the plain success counts: a UUID that is unique only on this computer is no record id.
    if (UuidCreateSequential(&id) != RPC_S_OK) {
        return {};
    }
    RPC_WSTR text = nullptr;
    if (UuidToStringW(&id, &text) != RPC_S_OK || text == nullptr) {
        return {};
    }
    std::unique_ptr<unsigned short, RpcStringDeleter> owned(text);
    return ToUtf8(FromWide(reinterpret_cast<const wchar_t*>(text)));
}
