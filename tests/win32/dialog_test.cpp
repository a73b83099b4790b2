// The Win32 dialogs, created from the program's templates and driven with window messages from
// inside their own message loops: what the windows show and what the models return.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <objbase.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/setup_log.h"
#include "core/win32_support.h"
#include "resources/dialog_ids.h"
#include "ui/progress_estimate.h"
#include "ui/user_environment.h"
#include "ui/win32/win32_dialogs.h"
#include "win32_test_support.h"

namespace {

std::u16string WindowText(HWND window) {
    wchar_t buffer[512] = {};
    const int length = GetWindowTextW(window, buffer, 512);
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(length));
}

std::u16string ItemText(HWND dialog, int id) {
    return WindowText(GetDlgItem(dialog, id));
}

std::vector<std::u16string> ComboEntries(HWND dialog, int id) {
    std::vector<std::u16string> entries;
    const LRESULT count = SendDlgItemMessageW(dialog, id, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[256] = {};
        SendDlgItemMessageW(dialog, id, CB_GETLBTEXT, static_cast<WPARAM>(i),
                            reinterpret_cast<LPARAM>(buffer));
        entries.emplace_back(reinterpret_cast<const char16_t*>(buffer));
    }
    return entries;
}

int ComboSelection(HWND dialog, int id) {
    return static_cast<int>(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
}

// Selects an entry the way a user does: the selection, then the notification to the dialog.
void SelectEntry(HWND dialog, int id, int index) {
    HWND combo = GetDlgItem(dialog, id);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

void Click(HWND dialog, int id) {
    SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

bool Visible(HWND dialog, int id) {
    return IsWindowVisible(GetDlgItem(dialog, id)) != FALSE;
}

// The ways a user leaves a dialog without answering.
enum class Dismissal { CancelButton, CloseBox, Escape };

void Dismiss(HWND dialog, Dismissal how) {
    switch (how) {
        case Dismissal::CancelButton:
            Click(dialog, IDCANCEL);
            break;
        case Dismissal::CloseBox:
            SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            break;
        case Dismissal::Escape:
            // Through the dialog's own loop, which turns Esc into the cancel command.
            PostMessageW(GetDlgItem(dialog, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
            break;
    }
}

// One child window of a template: its class, identifier, text, place in dialog units and style.
struct ControlSpec {
    const wchar_t* className;
    int id;
    std::u16string text;
    RECT units;   // x, y, width, height
    DWORD style;  // bits that must be set
    DWORD absentStyle;
};

// Checks the children of a dialog against its template, in tab (creation) order.
void ExpectControls(HWND dialog, const std::vector<ControlSpec>& expected) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    ASSERT_EQ(children.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const ControlSpec& spec = expected[i];
        HWND child = children[i];
        SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(spec.id));
        wchar_t className[64] = {};
        GetClassNameW(child, className, 64);
        EXPECT_EQ(lstrcmpiW(className, spec.className), 0);
        EXPECT_EQ(static_cast<int>(static_cast<short>(GetDlgCtrlID(child))), spec.id);
        if (std::wstring(spec.className) != L"ComboBox" &&
            std::wstring(spec.className) != L"Edit") {
            EXPECT_EQ(WindowText(child), spec.text);
        }
        // Place and size are converted from dialog units separately, as the dialog manager does.
        RECT place{spec.units.left, spec.units.top, 0, 0};
        RECT size{0, 0, spec.units.right, spec.units.bottom};
        MapDialogRect(dialog, &place);
        MapDialogRect(dialog, &size);
        RECT actual{};
        GetWindowRect(child, &actual);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, place.left);
        EXPECT_EQ(actual.top, place.top);
        EXPECT_EQ(actual.right - actual.left, size.right);
        // A combo box's window is as high as its closed field; the template's height is the
        // opened list's.
        if (std::wstring(spec.className) != L"ComboBox") {
            EXPECT_EQ(actual.bottom - actual.top, size.bottom);
        }
        const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE));
        // Edit fields and progress bars turn the template's border into a sunken or static edge.
        if (spec.style & WS_BORDER) {
            const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_EXSTYLE));
            EXPECT_TRUE((style & WS_BORDER) || (exStyle & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE)));
        }
        EXPECT_EQ(style & spec.style & ~WS_BORDER, spec.style & ~WS_BORDER);
        EXPECT_EQ(style & spec.absentStyle, 0u);
    }
}

// Checks a dialog's frame: caption, client size in dialog units and window styles.
void ExpectFrame(HWND dialog, const std::u16string& caption, int widthUnits, int heightUnits,
                 bool systemMenu, bool topmost) {
    EXPECT_EQ(WindowText(dialog), caption);
    RECT units{0, 0, widthUnits, heightUnits};
    MapDialogRect(dialog, &units);
    RECT client{};
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, units.right);
    EXPECT_EQ(client.bottom, units.bottom);
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_STYLE));
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_EQ((style & WS_CAPTION), static_cast<DWORD>(WS_CAPTION));
    EXPECT_EQ((style & WS_SYSMENU) != 0, systemMenu);
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_EXSTYLE));
    EXPECT_TRUE(exStyle & WS_EX_DLGMODALFRAME);
    EXPECT_EQ((exStyle & WS_EX_TOPMOST) != 0, topmost);
    EXPECT_EQ(GetParent(dialog), nullptr);
    // The template's font: "MS Shell Dlg" at 8 points.
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    LOGFONTW description{};
    ASSERT_NE(font, nullptr);
    GetObjectW(font, sizeof description, &description);
    HDC screen = GetDC(nullptr);
    const int points = MulDiv(-description.lfHeight, 72, GetDeviceCaps(screen, LOGPIXELSY));
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(points, 8);
}

// The interface language is the process's: the test program runs once as it is started and
// once more with a German one (LC_ALL=de_DE.UTF-8 under Wine), and expects what each shows.
bool GermanInterface() {
    return PrimaryLanguage(GetUserDefaultUILanguage()) == kPrimaryLanguageGerman;
}

std::u16string PickerTitle() {
    return GermanInterface() ? u"Download Ordner auswählen" : u"Select Download Folder";
}

// The real dialogs with a folder picker of the test's own: it records the titles it was shown
// with and gives the scripted answer (empty: cancelled).
class PickingViews : public DialogViews {
  public:
    bool RunVersionSelection(VersionSelectionDlg& dialog) override {
        return RunVersionSelectionWindow(dialog);
    }
    bool RunLanguageSelection(LanguageSelectionDlg& dialog) override {
        return RunLanguageSelectionWindow(dialog);
    }
    std::unique_ptr<ProgressView> ShowProgress(ExtractionProgress&) override {
        return std::make_unique<ProgressWindow>();
    }
    std::u16string PickFolder(const std::u16string& title) override {
        titles.push_back(title);
        return answer;
    }
    void ShowMessage(const std::string&) override {}

    std::u16string answer;
    std::vector<std::u16string> titles;
};

// Whether windows can be shown at all: Wine without a display cannot create any. The dialog
// tests run under a display of their own (scripts/windows-build.sh starts Xvfb for them).
bool DisplayAvailable() {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    if (probe == nullptr) return false;
    DestroyWindow(probe);
    return true;
}

class Win32DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!DisplayAvailable()) GTEST_SKIP() << "no display to show dialogs on";
        CoInitialize(nullptr);
        SetViews(&mViews);
    }
    void TearDown() override {
        SetDialogObserver({});
        SetViews(nullptr);
        SetTickSource({});
        CoUninitialize();
    }

    // Runs the version question with the observer driving the dialog; the answer, or nullopt
    // when it was cancelled (AbortException).
    struct VersionAnswer {
        std::string release;
        std::string language;
        bool downloadOnly;
        std::u16string destination;
    };
    std::optional<VersionAnswer> AskVersion(const std::vector<ReleaseChoice>& choices,
                                            std::function<void(HWND)> drive) {
        bool observed = false;
        SetDialogObserver([&](HWND dialog) {
            observed = true;
            drive(dialog);
        });
        VersionAnswer answer{"unset", "unset", false, u"unset"};
        bool cancelled = false;
        try {
            auto [release, language] =
                SelectVersion(choices, Catalog(), answer.downloadOnly, answer.destination);
            answer.release = release;
            answer.language = language;
        } catch (const AbortException&) {
            cancelled = true;
            // The caller's values stay as they were.
            EXPECT_EQ(answer.destination, u"unset");
            EXPECT_FALSE(answer.downloadOnly);
        }
        EXPECT_TRUE(observed);
        if (cancelled) return std::nullopt;
        return answer;
    }

    static ProductCatalog Catalog() {
        return JsonValue::Parse(
            R"json({"releases": {
              "2024.1": {"release": "Tarnwick 2024.1",
                         "languages": {"en-US": {}, "de-DE": {}, "de-AT": {}, "xx-YY": {}}},
              "2023.0": {"release": "Tarnwick 2023.0"},
              "2022.0": {"release": "Tarnwick 2022.0 (Größe)", "languages": {"fr-FR": {}}}}})json");
    }
    static std::vector<ReleaseChoice> ThreeChoices() {
        return {{"2024.1", "Tarnwick 2024.1"},
                {"2023.0", "Tarnwick 2023.0"},
                {"2022.0", "Tarnwick 2022.0 (Größe)"}};
    }
    static std::u16string DefaultDestination() {
        const std::u16string downloads = DownloadsFolder();
        return downloads.empty() ? downloads : downloads + u"\\";
    }

    PickingViews mViews;
};

// The run with a German interface language says so (tests/win32/dialog_tests.sh), so that it
// cannot pass in English unnoticed.
TEST_F(Win32DialogTest, InterfaceLanguageIsTheOneTheRunAsks) {
    const char* expected = std::getenv("SETUP_LAUNCHER_TEST_INTERFACE");
    if (expected == nullptr) GTEST_SKIP() << "the run names no interface language";
    EXPECT_EQ(GermanInterface(), std::string(expected) == "de");
}

TEST_F(Win32DialogTest, VersionTemplateAsDesigned) {
    const std::u16string label = u"Bitte wählen Sie Ihre Sprache / Please select your language:";
    auto answer = AskVersion({{"2024.1", "Tarnwick 2024.1"}}, [&](HWND dialog) {
        ExpectFrame(dialog, u"Select Version", 311, 101, true, false);
        ExpectControls(
            dialog,
            {
                {L"Button", IDOK, u"OK", {117, 80, 50, 14}, BS_DEFPUSHBUTTON | WS_TABSTOP, 0},
                {L"Button",
                 IDCANCEL,
                 u"Abbrechen",
                 {181, 80, 50, 14},
                 WS_TABSTOP,
                 BS_DEFPUSHBUTTON},
                {L"ComboBox",
                 IDC_VERSION_LIST,
                 u"",
                 {72, 7, 100, 52},
                 CBS_DROPDOWN | WS_TABSTOP,
                 CBS_SORT | CBS_SIMPLE},
                {L"Static", -1, u"Version:", {7, 7, 27, 12}, SS_CENTERIMAGE, 0},
                {L"Button",
                 IDC_DOWNLOAD_ONLY,
                 u"Nur Download/Download only",
                 {182, 7, 122, 12},
                 BS_AUTOCHECKBOX | BS_VCENTER | WS_TABSTOP,
                 0},
                {L"Static", -1, u"Ziel/Destination:", {7, 30, 62, 12}, SS_CENTERIMAGE, 0},
                {L"Edit",
                 IDC_DESTINATION,
                 u"",
                 {72, 30, 100, 14},
                 WS_DISABLED | WS_BORDER | ES_AUTOHSCROLL,
                 WS_TABSTOP},
                {L"Button", IDC_BROWSE, u"...", {182, 30, 14, 14}, WS_TABSTOP, 0},
                {L"ComboBox",
                 IDC_LANGUAGE_LIST,
                 u"",
                 {229, 50, 75, 53},
                 CBS_DROPDOWNLIST | WS_TABSTOP,
                 CBS_SORT},
                {L"Static", IDC_LANGUAGE_LABEL, label, {7, 51, 220, 12}, SS_CENTERIMAGE, 0},
            });
        EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_DOWNLOAD_ONLY), static_cast<UINT>(BST_UNCHECKED));
        Click(dialog, IDCANCEL);
    });
    EXPECT_FALSE(answer);
}

TEST_F(Win32DialogTest, LanguageTemplateAsDesigned) {
    LanguageSelectionDlg model(LanguageSelectionDlg::kEnglish);
    model.OnInitDialog(u"C:\\no-such-folder\\");
    SetDialogObserver([&](HWND dialog) {
        ExpectFrame(dialog, u"Vireo Setup", 344, 46, true, false);
        ExpectControls(
            dialog,
            {
                {L"Button", IDOK, u"OK", {228, 25, 50, 14}, BS_DEFPUSHBUTTON | WS_TABSTOP, 0},
                {L"Button",
                 IDCANCEL,
                 u"Abbrechen",
                 {287, 25, 50, 14},
                 WS_TABSTOP,
                 BS_DEFPUSHBUTTON},
                {L"ComboBox",
                 IDC_LANGUAGE_CHOICE,
                 u"",
                 {262, 7, 75, 53},
                 CBS_DROPDOWNLIST | WS_TABSTOP,
                 CBS_SORT},
                {L"Static",
                 -1,
                 u"Bitte wählen Sie Ihre Sprache / Please select your language:",
                 {7, 7, 241, 12},
                 SS_CENTERIMAGE,
                 0},
            });
        EXPECT_EQ(ComboEntries(dialog, IDC_LANGUAGE_CHOICE),
                  (std::vector<std::u16string>{u"Deutsch", u"English"}));
        Click(dialog, IDCANCEL);
    });
    EXPECT_FALSE(RunLanguageSelectionWindow(model));
}

TEST_F(Win32DialogTest, ProgressTemplateAsDesigned) {
    ExtractionProgress progress;
    HWND window = nullptr;
    SetDialogObserver([&](HWND shown) { window = shown; });
    progress.Create();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindowVisible(window));
    ExpectFrame(window, u"Fortschritt / Progress", 311, 29, false, true);
    ExpectControls(window,
                   {{L"msctls_progress32", IDC_PROGRESS_BAR, u"", {7, 7, 297, 8}, 0, WS_TABSTOP}});
    // The bar's border is not checked: the progress control draws its own frame and may drop the
    // template's WS_BORDER from its style (Wine's does).
    // Neither Esc nor a close request end it: only the work that shows it does.
    SendMessageW(window, WM_COMMAND, IDCANCEL, 0);
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window));
    progress.Destroy();
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(Win32DialogTest, OkReturnsThePreselectedReleaseLanguageAndDownloadsFolder) {
    // The interface language's locale is preselected; of de-AT and de-DE, which both match a
    // German one, the later in name order; the first when none matches.
    const bool english = PrimaryLanguage(GetUserDefaultUILanguage()) == 9;
    const int preselected = GermanInterface() ? 1 : english ? 2 : 0;
    const char* const codes[] = {"de-AT", "de-DE", "en-US", "xx-YY"};
    auto answer = AskVersion(ThreeChoices(), [&](HWND dialog) {
        EXPECT_EQ(ComboEntries(dialog, IDC_VERSION_LIST),
                  (std::vector<std::u16string>{u"Tarnwick 2024.1", u"Tarnwick 2023.0",
                                               u"Tarnwick 2022.0 (Größe)"}));
        EXPECT_EQ(ComboSelection(dialog, IDC_VERSION_LIST), 0);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_VERSION_LIST)));
        // Locale names in name order, the one of the interface language preselected.
        EXPECT_EQ(ComboEntries(dialog, IDC_LANGUAGE_LIST),
                  (std::vector<std::u16string>{u"de-AT", u"de-DE", u"en-US", u"xx-YY"}));
        EXPECT_EQ(ComboSelection(dialog, IDC_LANGUAGE_LIST), preselected);
        EXPECT_TRUE(Visible(dialog, IDC_LANGUAGE_LIST));
        EXPECT_TRUE(Visible(dialog, IDC_LANGUAGE_LABEL));
        EXPECT_EQ(ItemText(dialog, IDC_DESTINATION), DefaultDestination());
        Click(dialog, IDOK);
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->release, "2024.1");
    EXPECT_EQ(answer->language, codes[preselected]);
    EXPECT_FALSE(answer->downloadOnly);
    EXPECT_EQ(answer->destination, DefaultDestination());
    EXPECT_FALSE(DefaultDestination().empty());
}

TEST_F(Win32DialogTest, VersionChangeRefillsTheLanguageListFromThatRelease) {
    auto answer = AskVersion(ThreeChoices(), [&](HWND dialog) {
        // A release without languages hides the list and its label.
        SelectEntry(dialog, IDC_VERSION_LIST, 1);
        EXPECT_FALSE(Visible(dialog, IDC_LANGUAGE_LIST));
        EXPECT_FALSE(Visible(dialog, IDC_LANGUAGE_LABEL));
        EXPECT_TRUE(ComboEntries(dialog, IDC_LANGUAGE_LIST).empty());
        // One with languages shows them again, only its own.
        SelectEntry(dialog, IDC_VERSION_LIST, 2);
        EXPECT_TRUE(Visible(dialog, IDC_LANGUAGE_LIST));
        EXPECT_TRUE(Visible(dialog, IDC_LANGUAGE_LABEL));
        EXPECT_EQ(ComboEntries(dialog, IDC_LANGUAGE_LIST), (std::vector<std::u16string>{u"fr-FR"}));
        EXPECT_EQ(ComboSelection(dialog, IDC_LANGUAGE_LIST), 0);
        Click(dialog, IDC_DOWNLOAD_ONLY);
        Click(dialog, IDOK);
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->release, "2022.0");
    EXPECT_EQ(answer->language, "fr-FR");
    EXPECT_TRUE(answer->downloadOnly);
}

TEST_F(Win32DialogTest, ReleaseWithoutLanguagesAnswersNoLanguage) {
    auto answer = AskVersion(ThreeChoices(), [&](HWND dialog) {
        SelectEntry(dialog, IDC_VERSION_LIST, 1);
        Click(dialog, IDOK);
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->release, "2023.0");
    EXPECT_EQ(answer->language, "");
}

TEST_F(Win32DialogTest, TextTypedIntoTheVersionListKeepsTheSelectedRelease) {
    auto answer = AskVersion(ThreeChoices(), [&](HWND dialog) {
        SelectEntry(dialog, IDC_VERSION_LIST, 2);
        // Typing clears the list's selection.
        SendDlgItemMessageW(dialog, IDC_VERSION_LIST, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        SetDlgItemTextW(dialog, IDC_VERSION_LIST, L"2099.9");
        ASSERT_EQ(ComboSelection(dialog, IDC_VERSION_LIST), CB_ERR);
        Click(dialog, IDOK);
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->release, "2022.0");
}

TEST_F(Win32DialogTest, OneChoiceLeavesTheVersionListDisabled) {
    auto answer = AskVersion({{"2023.0", "Tarnwick 2023.0"}}, [&](HWND dialog) {
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, IDC_VERSION_LIST)));
        EXPECT_EQ(ComboEntries(dialog, IDC_VERSION_LIST),
                  (std::vector<std::u16string>{u"Tarnwick 2023.0"}));
        EXPECT_EQ(ComboSelection(dialog, IDC_VERSION_LIST), 0);
        EXPECT_FALSE(Visible(dialog, IDC_LANGUAGE_LIST));
        Click(dialog, IDOK);
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->release, "2023.0");
}

TEST_F(Win32DialogTest, BrowseShowsThePickedFolderAndACancelledPickKeepsTheDestination) {
    auto answer = AskVersion(ThreeChoices(), [&](HWND dialog) {
        mViews.answer = u"C:/Ziele/Größe";
        Click(dialog, IDC_BROWSE);
        EXPECT_EQ(ItemText(dialog, IDC_DESTINATION), u"C:\\Ziele\\Größe\\");
        // A drive's root already ends with a backslash.
        mViews.answer = u"D:\\";
        Click(dialog, IDC_BROWSE);
        EXPECT_EQ(ItemText(dialog, IDC_DESTINATION), u"D:\\");
        mViews.answer.clear();
        Click(dialog, IDC_BROWSE);
        EXPECT_EQ(ItemText(dialog, IDC_DESTINATION), u"D:\\");
        Click(dialog, IDOK);
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->destination, u"D:\\");
    EXPECT_EQ(mViews.titles, (std::vector<std::u16string>(3, PickerTitle())));
}

// The shell's own picker, cancelled by a hook that watches windows being activated on this
// thread: the title it showed is recorded and the destination stays.
HHOOK gPickerHook = nullptr;
std::vector<std::u16string> gPickerTitles;

LRESULT CALLBACK CancelPicker(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND window = reinterpret_cast<HWND>(wParam);
        const std::u16string title = WindowText(window);
        if (!title.empty() && title != u"Select Version") {
            gPickerTitles.push_back(title);
            PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        }
    }
    return CallNextHookEx(gPickerHook, code, wParam, lParam);
}

TEST_F(Win32DialogTest, CancelledShellPickerKeepsTheDestination) {
    SetViews(nullptr);  // the platform's picker
    gPickerTitles.clear();
    gPickerHook = SetWindowsHookExW(WH_CBT, CancelPicker, nullptr, GetCurrentThreadId());
    ASSERT_NE(gPickerHook, nullptr);
    auto answer = AskVersion(ThreeChoices(), [&](HWND dialog) {
        Click(dialog, IDC_BROWSE);
        EXPECT_EQ(ItemText(dialog, IDC_DESTINATION), DefaultDestination());
        Click(dialog, IDOK);
    });
    UnhookWindowsHookEx(gPickerHook);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->destination, DefaultDestination());
    EXPECT_EQ(gPickerTitles, (std::vector<std::u16string>{PickerTitle()}));
}

TEST_F(Win32DialogTest, EveryWayOutOfTheVersionDialogCancels) {
    for (Dismissal how : {Dismissal::CancelButton, Dismissal::CloseBox, Dismissal::Escape}) {
        SCOPED_TRACE(static_cast<int>(how));
        EXPECT_FALSE(AskVersion(ThreeChoices(), [&](HWND dialog) { Dismiss(dialog, how); }));
    }
}

TEST_F(Win32DialogTest, LanguageQuestionFollowsTheInterfaceLanguageAndTheChoice) {
    struct Case {
        std::optional<int> pick;  // entry chosen before OK; none: keep the preselection
        int language;
    };
    const Case cases[] = {
        {std::nullopt,
         GermanInterface() ? LanguageSelectionDlg::kGerman : LanguageSelectionDlg::kEnglish},
        {0, LanguageSelectionDlg::kGerman},
        {1, LanguageSelectionDlg::kEnglish},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pick.value_or(-1));
        SetDialogObserver([&](HWND dialog) {
            EXPECT_EQ(ItemText(dialog, IDC_LANGUAGE_CHOICE),
                      GermanInterface() ? u"Deutsch" : u"English");
            if (c.pick) SelectEntry(dialog, IDC_LANGUAGE_CHOICE, *c.pick);
            Click(dialog, IDOK);
        });
        EXPECT_EQ(SelectLanguage(), c.language);
    }
}

TEST_F(Win32DialogTest, EveryWayOutOfTheLanguageQuestionCancels) {
    for (Dismissal how : {Dismissal::CancelButton, Dismissal::CloseBox, Dismissal::Escape}) {
        SCOPED_TRACE(static_cast<int>(how));
        SetDialogObserver([&](HWND dialog) { Dismiss(dialog, how); });
        EXPECT_THROW(SelectLanguage(), AbortException);
    }
}

TEST_F(Win32DialogTest, LanguageQuestionShowsTheCaptionTheModelChose) {
    // An ASCII folder name: the run with a German interface language may lack a UTF-8 locale.
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::filesystem::path folder =
        std::filesystem::path(temp) / ("probe-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(folder / "de-x64" / "x64" / "kestrel_s");
    struct RemoveFolder {
        std::filesystem::path path;
        ~RemoveFolder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } cleanup{folder};
    LanguageSelectionDlg model(LanguageSelectionDlg::kGerman);
    const std::wstring path = folder.wstring() + L"\\";
    model.OnInitDialog(
        std::u16string(reinterpret_cast<const char16_t*>(path.c_str()), path.size()));
    SetDialogObserver([&](HWND dialog) {
        EXPECT_EQ(WindowText(dialog), u"KESTREL Complete SE");
        Click(dialog, IDOK);
    });
    EXPECT_TRUE(RunLanguageSelectionWindow(model));
}

TEST_F(Win32DialogTest, ProgressWindowShowsStepsAndTheEstimateInItsCaption) {
    std::uint64_t now = 50'000;
    SetTickSource([&] { return now; });
    ExtractionProgress progress;
    HWND window = nullptr;
    SetDialogObserver([&](HWND shown) { window = shown; });
    progress.Create();
    ASSERT_NE(window, nullptr);
    HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
    progress.AppendToTitle(u"(download)");
    progress.SetProgressRange(100);
    EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
    for (int step = 0; step < 10; ++step) progress.ProgressStep();
    EXPECT_EQ(WindowText(window), u"Fortschritt / Progress (download)");
    // 20 s after the first of ten steps: 200 s for all, 180 s left.
    now += 20'000;
    progress.ProgressStep();
    EXPECT_EQ(WindowText(window), u"Fortschritt / Progress (download) (ETA 00:03:00)");
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 11);
    for (int step = 11; step < 100; ++step) progress.ProgressStep();
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 100);
    progress.ResetProgress();
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(WindowText(window), u"Fortschritt / Progress (download)");
}

}  // namespace
