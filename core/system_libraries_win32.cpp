// The rule for where the launcher's libraries come from: the system folder only.
#include <windows.h>
// After windows.h, which it needs.
#include <delayimp.h>

#include <deque>
#include <initializer_list>
#include <string>

#include "core/win32_support.h"

namespace {

// The delay-load helper's notification hook: it loads each delay-loaded DLL itself, from the
// system folder, before the helper would search for it.
FARPROC WINAPI LoadDelayedLibrary(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) {
        return nullptr;
    }
    // Import tables name DLLs in ASCII.
    std::wstring name;
    for (const char* character = info->szDll; *character != '\0'; ++character) {
        name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*character)));
    }
    // A DLL missing from the system folder comes back as nullptr; the helper's own attempt then
    // follows the default search order, which is the system folder alone as well.
    return reinterpret_cast<FARPROC>(LoadSystemLibrary(name.c_str()));
}

}  // namespace

void LoadLibrariesFromSystemFolderOnly() {
    // Looked up: a Windows 7 without its library-search update lacks the function.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    if (auto setDefault = LookUpFunction<SetDefaultDllDirectoriesFunction>(
            L"kernel32.dll", "SetDefaultDllDirectories")) {
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    __pfnDliNotifyHook2 = LoadDelayedLibrary;
    // The delay-loaded DLLs are loaded now, from the system folder, and stay loaded for the whole
    // run: any later load of the same name then finds them in the process. That covers the loads
    // that system DLLs make on their own (the TLS provider loads crypt32 when a connection is
    // secured), which not every loader makes by the default search order. The names come from
    // the build's list of delay-loaded DLLs.
    static std::deque<SystemLibrary> delayLoaded;
    for (const wchar_t* name : {SETUP_LAUNCHER_DELAY_LOADED}) {
        delayLoaded.emplace_back(name);
    }
}
