// The language question (template 110) as a dialog procedure over LanguageSelectionDlg.
#include <windows.h>

#include "ui/win32/dialog_common.h"
#include "ui/win32/win32_dialogs.h"

using namespace win32_dialogs;

namespace {

INT_PTR CALLBACK LanguageSelectionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    NotifyObserverOnFirstShow(dialog, message, wParam);
    if (HandleSharedModalMessage(dialog, message, wParam)) {
        return TRUE;
    }
    switch (message) {
        case WM_INITDIALOG: {
            auto& run = BeginRun<LanguageSelectionDlg>(dialog, lParam);
            SetWindowTextW(dialog, Wide(run.model.Caption()));
            for (const std::u16string& entry : run.model.Entries()) {
                AddString(dialog, IDC_LANGUAGE_CHOICE, entry);
            }
            SendItem(dialog, IDC_LANGUAGE_CHOICE, CB_SETCURSEL,
                     static_cast<WPARAM>(run.model.SelectedEntry()));
            // The first control gets the focus.
            return TRUE;
        }
        case WM_COMMAND:
            if (RunOf<LanguageSelectionDlg>(dialog) == nullptr) {
                return FALSE;
            }
            if (LOWORD(wParam) == IDOK) {
                RunOf<LanguageSelectionDlg>(dialog)->model.SelectEntry(
                    CurrentSelection(dialog, IDC_LANGUAGE_CHOICE));
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

bool RunLanguageSelectionWindow(LanguageSelectionDlg& dialog) {
    return RunModal(dialog, IDD_LANGUAGE_SELECTION, LanguageSelectionProc);
}
