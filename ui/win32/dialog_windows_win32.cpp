// The version and language dialogs and the progress window as plain dialog procedures over
// their models, and the shell's folder picker.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shobjidl.h>

#include <utility>

#include "core/text_conversion.h"
#include "core/win32_support.h"
#include "resources/dialog_ids.h"
#include "ui/win32/win32_dialogs.h"

namespace {

// Posted by a modal dialog to itself at the end of its initialisation, so that the observer runs
// inside the dialog's message loop once the window is shown.
constexpr UINT kNotifyObserver = WM_APP + 1;

std::function<void(HWND)>& Observer() {
    static std::function<void(HWND)> observer;
    return observer;
}

HINSTANCE ProgramModule() {
    return GetModuleHandleW(nullptr);
}

// Releases a COM interface pointer.
struct ComRelease {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <typename Interface>
using ComPointer = std::unique_ptr<Interface, ComRelease>;

struct CoTaskMemDeleter {
    void operator()(wchar_t* text) const { CoTaskMemFree(text); }
};

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

LRESULT SendItem(HWND dialog, int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageW(dialog, id, message, wParam, lParam);
}

void AddString(HWND dialog, int id, const std::u16string& text) {
    SendItem(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text)));
}

int CurrentSelection(HWND dialog, int id) {
    const LRESULT selection = SendItem(dialog, id, CB_GETCURSEL);
    return selection == CB_ERR ? -1 : static_cast<int>(selection);
}

// A modal dialog is shown once its message loop first finds the queue empty; the observer is
// called after that, from the loop.
void NotifyObserverOnFirstShow(HWND dialog, UINT message, WPARAM wParam) {
    if (message == WM_SHOWWINDOW && wParam != FALSE && Observer() &&
        GetPropW(dialog, L"SetupLauncherObserved") == nullptr) {
        SetPropW(dialog, L"SetupLauncherObserved", dialog);
        PostMessageW(dialog, kNotifyObserver, 0, 0);
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

// --- version selection --------------------------------------------------------------------------

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
    switch (message) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            auto& run = *RunOf<VersionSelectionDlg>(dialog);
            run.icons.Apply(dialog);
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
            if (id == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        }
        case kNotifyObserver:
            if (Observer()) {
                Observer()(dialog);
            }
            return TRUE;
        case WM_DESTROY:
            RemovePropW(dialog, L"SetupLauncherObserved");
            return FALSE;
        default:
            return FALSE;
    }
}

// --- language selection -------------------------------------------------------------------------

INT_PTR CALLBACK LanguageSelectionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    NotifyObserverOnFirstShow(dialog, message, wParam);
    switch (message) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            auto& run = *RunOf<LanguageSelectionDlg>(dialog);
            run.icons.Apply(dialog);
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
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        case kNotifyObserver:
            if (Observer()) {
                Observer()(dialog);
            }
            return TRUE;
        case WM_DESTROY:
            RemovePropW(dialog, L"SetupLauncherObserved");
            return FALSE;
        default:
            return FALSE;
    }
}

// --- progress -----------------------------------------------------------------------------------

// The window has no buttons and no system menu; the cancel command that Esc or Alt+F4 produce
// is ignored, so only the work that shows it ends it.
INT_PTR CALLBACK ProgressProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

}  // namespace

void SetDialogObserver(std::function<void(HWND)> observer) {
    Observer() = std::move(observer);
}

bool RunVersionSelectionWindow(VersionSelectionDlg& dialog) {
    ModalRun<VersionSelectionDlg> run{dialog, {}};
    const INT_PTR result =
        DialogBoxParamW(ProgramModule(), MAKEINTRESOURCEW(IDD_VERSION_SELECTION), nullptr,
                        VersionSelectionProc, reinterpret_cast<LPARAM>(&run));
    return result == IDOK;
}

bool RunLanguageSelectionWindow(LanguageSelectionDlg& dialog) {
    ModalRun<LanguageSelectionDlg> run{dialog, {}};
    const INT_PTR result =
        DialogBoxParamW(ProgramModule(), MAKEINTRESOURCEW(IDD_LANGUAGE_SELECTION), nullptr,
                        LanguageSelectionProc, reinterpret_cast<LPARAM>(&run));
    return result == IDOK;
}

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
