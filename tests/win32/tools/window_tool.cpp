// The helper of tests/win32/whole_launch.sh, run under the same Wine session as the launcher:
//
//   window-tool wait TITLE [SECONDS]   waits until a visible top-level window with that caption
//                                      is the active window, puts the focus on its OK button
//                                      (when it has one) and prints its frame as
//                                      "x y width height"; exit 1 when none was in time
//                                      (default 60 seconds)
//   window-tool progress SECONDS       shows the progress window as a download 20 seconds after
//                                      its first of ten steps (so with an estimate in its
//                                      caption) for that long, for a screenshot
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/clock.h"
#include "core/message_pump.h"
#include "ui/progress_estimate.h"

namespace {

// Waits for the window and for it to be the active one, so that keys reach it.
int Wait(const std::string& title, int seconds) {
    const std::wstring wide(title.begin(), title.end());
    for (int round = 0; round < seconds * 10; ++round) {
        HWND window = FindWindowW(nullptr, wide.c_str());
        if (window != nullptr && IsWindowVisible(window)) {
            if (GetForegroundWindow() != window) {
                // A window that appears while the desktop is still starting may stay inactive.
                if (round % 5 == 4) SetForegroundWindow(window);
            } else {
                // The keys a test presses start from the first control (OK), as for a user who
                // opened the dialog: a dialog activated late may have no control with the focus,
                // and then keys reach none. The dialog's own thread moves the focus.
                if (HWND ok = GetDlgItem(window, IDOK)) {
                    PostMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(ok), TRUE);
                    Sleep(200);
                }
                RECT frame{};
                GetWindowRect(window, &frame);
                std::printf("%ld %ld %ld %ld\n", frame.left, frame.top, frame.right - frame.left,
                            frame.bottom - frame.top);
                return 0;
            }
        }
        Sleep(100);
    }
    std::fprintf(stderr, "window-tool: no active window \"%s\" within %d seconds\n", title.c_str(),
                 seconds);
    return 1;
}

int ShowProgress(int seconds) {
    std::uint64_t now = 0;
    SetTickSource([&now] { return now; });
    ExtractionProgress progress;
    progress.Create();
    progress.AppendToTitle(u"(download)");
    progress.SetProgressRange(100);
    for (int step = 0; step < 10; ++step) progress.ProgressStep();
    now += 20'000;
    progress.ProgressStep();
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    while (GetTickCount64() < end) {
        PumpMessages(10);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "wait" && argc >= 3) {
        return Wait(argv[2], argc >= 4 ? std::atoi(argv[3]) : 60);
    }
    if (command == "progress" && argc >= 3) {
        return ShowProgress(std::atoi(argv[2]));
    }
    std::fprintf(stderr, "usage: window-tool wait TITLE [SECONDS] | progress SECONDS\n");
    return 2;
}
