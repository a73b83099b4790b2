// Hands a program or folder to the shell.
#include <windows.h>

#include <shellapi.h>

#include "core/win32_support.h"
#include "install/setup_process.h"

void StartProcess(const std::u16string& path) {
    // No parameters, no working folder of its own (the launcher's is inherited); the shell's
    // answer is not looked at.
    ShellExecuteW(nullptr, L"open", Wide(path), nullptr, nullptr, SW_SHOWNORMAL);
}

void OpenInFileBrowser(const std::u16string& path) {
    ShellExecuteW(nullptr, L"open", Wide(path), nullptr, nullptr, SW_SHOWDEFAULT);
}
