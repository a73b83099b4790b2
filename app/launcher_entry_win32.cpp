// The Windows entry: libraries from the system folder only; no command-line options; COM and
// Windows Sockets 1.1 for the shell and network calls of the launch; one launch; exit code 0 in
// every case.
#include <objbase.h>
#include <shellapi.h>
#include <windows.h>
#include <winsock2.h>

#include <memory>

#include "app/launch_flow.h"
#include "core/win32_support.h"

namespace {
struct LocalFreeDeleter {
    void operator()(LPWSTR* arguments) const { LocalFree(arguments); }
};
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    // Before anything loads a library: the program's folder (often the user's Downloads) may hold
    // a file named like a system DLL.
    LoadLibrariesFromSystemFolderOnly();

    // The launcher takes no arguments: the command line is split and ignored.
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreeDeleter> arguments(CommandLineToArgvW(commandLine, &count));

    CoInitialize(nullptr);
    WSADATA sockets{};
    WSAStartup(MAKEWORD(1, 1), &sockets);

    LaunchStations stations;
    return RunLaunchAndReport(stations);
}
