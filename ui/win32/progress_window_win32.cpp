// The modeless progress window (template 130) that ExtractionProgress shows.
#include <windows.h>

#include <commctrl.h>

#include "ui/win32/dialog_common.h"
#include "ui/win32/win32_dialogs.h"

using namespace win32_dialogs;

namespace {

// The window has no buttons and no system menu; the cancel command that Esc or Alt+F4 produce
// is ignored, so only the work that shows it ends it.
INT_PTR CALLBACK ProgressProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

}  // namespace

ProgressWindow::ProgressWindow() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    mWindow = CreateDialogParamW(ProgramModule(), MAKEINTRESOURCEW(IDD_EXTRACTION_PROGRESS),
                                 nullptr, ProgressProc, 0);
    if (mWindow == nullptr) {
        return;
    }
    SendDlgItemMessageW(mWindow, IDC_PROGRESS_BAR, PBM_SETSTEP, 1, 0);
    ShowWindow(mWindow, SW_SHOW);
    UpdateWindow(mWindow);
    if (Observer()) {
        Observer()(mWindow);
    }
}

ProgressWindow::~ProgressWindow() {
    if (mWindow != nullptr) {
        DestroyWindow(mWindow);
    }
}

void ProgressWindow::Update(const std::u16string& caption, std::uint32_t position,
                            std::uint32_t range) {
    if (mWindow == nullptr) {
        return;
    }
    if (caption != mCaption) {
        mCaption = caption;
        SetWindowTextW(mWindow, Wide(mCaption));
    }
    if (range != mRange) {
        mRange = range;
        SendDlgItemMessageW(mWindow, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0, range);
    }
    if (position != mPosition) {
        mPosition = position;
        SendDlgItemMessageW(mWindow, IDC_PROGRESS_BAR, PBM_SETPOS, position, 0);
    }
}
