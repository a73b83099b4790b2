// The version dialog (template 131) as a dialog procedure over VersionSelectionDlg, and the
// shell's folder picker behind its browse button.
#include <windows.h>

#include <objbase.h>
#include <shobjidl.h>

#include <memory>

#include "core/text_conversion.h"
#include "ui/win32/dialog_common.h"
#include "ui/win32/win32_dialogs.h"

using namespace win32_dialogs;

namespace {

// Releases a COM interface pointer.
struct ComRelease {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <typename Interface>
using ComPointer = std::unique_ptr<Interface, ComRelease>;

struct CoTaskMemDeleter {
    void operator()(wchar_t* text) const { CoTaskMemFree(text); }
};

// Shows the language list of the selected release, or hides it with its label.
void ShowLanguages(HWND dialog, const VersionSelectionDlg& model) {
    SendItem(dialog, IDC_LANGUAGE_LIST, CB_RESETCONTENT);
    for (const std::string& code : model.LanguageCodes()) {
        AddString(dialog, IDC_LANGUAGE_LIST, ToUtf16(code));
    }
    SendItem(dialog, IDC_LANGUAGE_LIST, CB_SETCURSEL,
             static_cast<WPARAM>(model.LanguageSelection()));
    const int show = model.LanguageListVisible() ? SW_SHOW : SW_HIDE;
    ShowWindow(GetDlgItem(dialog, IDC_LANGUAGE_LABEL), show);
    ShowWindow(GetDlgItem(dialog, IDC_LANGUAGE_LIST), show);
}

void ShowDestination(HWND dialog, const VersionSelectionDlg& model) {
    SetDlgItemTextW(dialog, IDC_DESTINATION, Wide(model.Destination()));
}

INT_PTR CALLBACK VersionSelectionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    NotifyObserverOnFirstShow(dialog, message, wParam);
    if (HandleSharedModalMessage(dialog, message, wParam)) {
        return TRUE;
    }
    switch (message) {
        case WM_INITDIALOG: {
            auto& run = BeginRun<VersionSelectionDlg>(dialog, lParam);
            for (const ReleaseChoice& choice : run.model.Choices()) {
                AddString(dialog, IDC_VERSION_LIST, ToUtf16(choice.displayText));
            }
            SendItem(dialog, IDC_VERSION_LIST, CB_SETCURSEL,
                     static_cast<WPARAM>(run.model.SelectedVersion()));
            ShowLanguages(dialog, run.model);
            EnableWindow(GetDlgItem(dialog, IDC_VERSION_LIST), run.model.VersionListEnabled());
            ShowDestination(dialog, run.model);
            // No control gets the initial focus.
            return FALSE;
        }
        case WM_COMMAND: {
            auto* run = RunOf<VersionSelectionDlg>(dialog);
            if (run == nullptr) {
                return FALSE;
            }
            auto& model = run->model;
            const int id = LOWORD(wParam);
            const int code = HIWORD(wParam);
            if (id == IDC_VERSION_LIST && code == CBN_SELCHANGE) {
                const int selection = CurrentSelection(dialog, IDC_VERSION_LIST);
                if (selection >= 0) {
                    model.OnVersionChanged(selection);
                    ShowLanguages(dialog, model);
                }
                return TRUE;
            }
            if (id == IDC_BROWSE && code == BN_CLICKED) {
                model.OnBrowse();
                ShowDestination(dialog, model);
                return TRUE;
            }
            if (id == IDOK) {
                // Text typed into the version list's edit field selects no entry: the release
                // selected last stays the answer.
                const int version = CurrentSelection(dialog, IDC_VERSION_LIST);
                if (version >= 0 && version != model.SelectedVersion()) {
                    model.OnVersionChanged(version);
                }
                const bool downloadOnly =
                    IsDlgButtonChecked(dialog, IDC_DOWNLOAD_ONLY) == BST_CHECKED;
                model.OnOK(CurrentSelection(dialog, IDC_LANGUAGE_LIST), downloadOnly);
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            return FALSE;
        }
        default:
            return FALSE;
    }
}

}  // namespace

bool RunVersionSelectionWindow(VersionSelectionDlg& dialog) {
    return RunModal(dialog, IDD_VERSION_SELECTION, VersionSelectionProc);
}

std::u16string PickFolderWithShell(const std::u16string& title) {
    IFileOpenDialog* created = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_ALL, IID_IFileOpenDialog,
                                reinterpret_cast<void**>(&created)))) {
        return {};
    }
    ComPointer<IFileOpenDialog> picker(created);
    // Folder picking alone: replaces the default options instead of adding to them.
    picker->SetOptions(FOS_PICKFOLDERS);
    picker->SetTitle(Wide(title));
    if (FAILED(picker->Show(nullptr))) {
        return {};  // cancelled or not shown
    }
    IShellItem* result = nullptr;
    if (FAILED(picker->GetResult(&result))) {
        return {};
    }
    ComPointer<IShellItem> item(result);
    wchar_t* path = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || path == nullptr) {
        return {};
    }
    std::unique_ptr<wchar_t, CoTaskMemDeleter> owned(path);
    return FromWide(path);
}
