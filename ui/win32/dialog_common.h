#pragma once
// What the Win32 dialog procedures share: the program's module, the test observer, the icon of
// a dialog's caption, combo-box helpers and the state of one modal run.
#include <windows.h>

#include <functional>
#include <string>

#include "core/win32_support.h"
#include "resources/dialog_ids.h"

namespace win32_dialogs {

// Posted by a modal dialog to itself when it is first shown, so that the observer runs inside
// the dialog's message loop.
inline constexpr UINT kNotifyObserver = WM_APP + 1;

// The observer of SetDialogObserver.
std::function<void(HWND)>& Observer();

// The program's own module, which carries the dialog templates and the icon.
inline HINSTANCE ProgramModule() {
    return GetModuleHandleW(nullptr);
}

// The program's icon in the caption and the task bar. Icons loaded from resources with
// LoadImage without LR_SHARED belong to the caller: the window keeps them until it is destroyed.
class WindowIcons {
  public:
    void Apply(HWND window) {
        mLarge = Load(GetSystemMetrics(SM_CXICON));
        mSmall = Load(GetSystemMetrics(SM_CXSMICON));
        if (mLarge != nullptr) {
            SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(mLarge));
        }
        if (mSmall != nullptr) {
            SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(mSmall));
        }
    }
    ~WindowIcons() {
        if (mLarge != nullptr) DestroyIcon(mLarge);
        if (mSmall != nullptr) DestroyIcon(mSmall);
    }

  private:
    static HICON Load(int size) {
        return static_cast<HICON>(
            LoadImageW(ProgramModule(), MAKEINTRESOURCEW(IDI_LAUNCHER), IMAGE_ICON, size, size, 0));
    }
    HICON mLarge = nullptr;
    HICON mSmall = nullptr;
};

inline LRESULT SendItem(HWND dialog, int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageW(dialog, id, message, wParam, lParam);
}

inline void AddString(HWND dialog, int id, const std::u16string& text) {
    SendItem(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text)));
}

inline int CurrentSelection(HWND dialog, int id) {
    const LRESULT selection = SendItem(dialog, id, CB_GETCURSEL);
    return selection == CB_ERR ? -1 : static_cast<int>(selection);
}

// A modal dialog is shown once its message loop first finds the queue empty; the observer is
// called after that, from the loop.
inline void NotifyObserverOnFirstShow(HWND dialog, UINT message, WPARAM wParam) {
    if (message == WM_SHOWWINDOW && wParam != FALSE && Observer() &&
        GetPropW(dialog, L"SetupLauncherObserved") == nullptr) {
        SetPropW(dialog, L"SetupLauncherObserved", dialog);
        PostMessageW(dialog, kNotifyObserver, 0, 0);
    }
}

// The messages both modal dialogs handle alike, before their own: the cancel command (once the
// dialog is initialised), the observer's notification, and removing the observer's mark when the
// window goes. True when the message is fully handled and the procedure should return TRUE.
inline bool HandleSharedModalMessage(HWND dialog, UINT message, WPARAM wParam) {
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL && GetWindowLongPtrW(dialog, DWLP_USER) != 0) {
                EndDialog(dialog, IDCANCEL);
                return true;
            }
            return false;
        case kNotifyObserver:
            if (Observer()) {
                Observer()(dialog);
            }
            return true;
        case WM_DESTROY:
            RemovePropW(dialog, L"SetupLauncherObserved");
            return false;
        default:
            return false;
    }
}

// The state of one modal run: the model and what the window owns.
template <typename Model>
struct ModalRun {
    Model& model;
    WindowIcons icons;
};

// The run a dialog belongs to; nullptr for messages that arrive before its initialisation.
template <typename Model>
ModalRun<Model>* RunOf(HWND dialog) {
    return reinterpret_cast<ModalRun<Model>*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

// WM_INITDIALOG of a modal run: binds the run passed to DialogBoxParamW to the window and gives
// it the program's icons.
template <typename Model>
ModalRun<Model>& BeginRun(HWND dialog, LPARAM lParam) {
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    auto& run = *RunOf<Model>(dialog);
    run.icons.Apply(dialog);
    return run;
}

// Runs the dialog of a template modally over its model; true when it ended with OK.
template <typename Model>
bool RunModal(Model& model, int templateId, DLGPROC procedure) {
    ModalRun<Model> run{model, {}};
    const INT_PTR result = DialogBoxParamW(ProgramModule(), MAKEINTRESOURCEW(templateId), nullptr,
                                           procedure, reinterpret_cast<LPARAM>(&run));
    return result == IDOK;
}

}  // namespace win32_dialogs
