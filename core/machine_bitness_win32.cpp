// Tells whether the machine runs 64-bit Windows.
#include <windows.h>

#include "core/machine_bitness.h"
#include "core/win32_support.h"

bool IsRunningOnWow64() {
    // A 64-bit build runs only on 64-bit Windows.
    if constexpr (sizeof(void*) == 8) {
        return true;
    }
    // Looked up at every call: 32-bit Windows before XP SP2 has no such function.
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto isWow64Process =
        LookUpFunction<IsWow64ProcessFunction>(L"kernel32", "IsWow64Process");
    if (isWow64Process == nullptr) {
        return false;
    }
    BOOL wow64 = FALSE;
    isWow64Process(GetCurrentProcess(), &wow64);
    return wow64 == TRUE;
}
