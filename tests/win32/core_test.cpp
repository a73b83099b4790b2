// The Win32 core: text conversion, the log file in the temporary folder, product identity from
// the program's own resources and path, and the message pump over the thread's queue.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/message_pump.h"
#include "core/product_identity.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "win32_test_support.h"

namespace {

TEST(Win32Text, ConvertsBothWays) {
    EXPECT_EQ(ToUtf8(u""), "");
    EXPECT_EQ(ToUtf16(""), u"");
    EXPECT_EQ(ToUtf8(u"Größe"),
              "Gr\xc3\xb6\xc3\x9f"
              "e");
    EXPECT_EQ(ToUtf8(u"Größe").size(), 7u);
    EXPECT_EQ(ToUtf16("Gr\xc3\xb6\xc3\x9f"
                      "e"),
              u"Größe");
    // A character outside the basic plane is a surrogate pair in UTF-16 and four bytes in UTF-8.
    EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(ToUtf16("\xf0\x9f\x98\x80"), u"\U0001F600");
}

TEST(Win32Text, InvalidInputBecomesReplacementCharacter) {
    EXPECT_EQ(ToUtf16("a\xff"
                      "b"),
              u"a\uFFFDb");
    const std::u16string loneSurrogate{u'a', char16_t(0xD800), u'b'};
    EXPECT_EQ(ToUtf8(loneSurrogate),
              "a\xef\xbf\xbd"
              "b");
}

TEST(Win32Text, EmbeddedZeroEndsTheResult) {
    EXPECT_EQ(ToUtf8(std::u16string(u"ab\0cd", 5)), "ab");
    EXPECT_EQ(ToUtf16(std::string("ab\0cd", 5)), u"ab");
}

// Points TMP and TEMP at a folder of the test's own, so the log lands there.
class Win32LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Remember(L"TMP", mOldTmp);
        Remember(L"TEMP", mOldTemp);
        mTemp = std::make_unique<TempFolder>();
        SetEnvironmentVariableW(L"TMP", reinterpret_cast<const wchar_t*>(mTemp->Path().c_str()));
        SetEnvironmentVariableW(L"TEMP", reinterpret_cast<const wchar_t*>(mTemp->Path().c_str()));
    }
    void TearDown() override {
        Restore(L"TMP", mOldTmp);
        Restore(L"TEMP", mOldTemp);
        mTemp.reset();
    }

    std::u16string ExpectedLog() const { return mTemp->Path() + u"\\\\CAD-Setup.log"; }

    std::unique_ptr<TempFolder> mTemp;

  private:
    static void Remember(const wchar_t* name, std::optional<std::wstring>& value) {
        wchar_t buffer[32768];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        if (length > 0 && length < 32768) value = std::wstring(buffer, length);
    }
    static void Restore(const wchar_t* name, const std::optional<std::wstring>& value) {
        SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }
    std::optional<std::wstring> mOldTmp;
    std::optional<std::wstring> mOldTemp;
};

TEST_F(Win32LogTest, RecordsGoToTheTemporaryFolderAsUtf8WithCrLf) {
    // The temporary folder ends with a backslash and one more is added before the name.
    EXPECT_EQ(LogFilePath(), ExpectedLog());
    LogRecord("first", 12, "core\\netrelease_functions.cpp");
    LogRecordWide(u"Größe", -3, "SetupLauncher.cpp");
    EXPECT_EQ(ReadBytes(ExpectedLog()),
              "core\\netrelease_functions.cpp(12): first\r\n"
              "SetupLauncher.cpp(-3): Gr\xc3\xb6\xc3\x9f"
              "e\r\n");
}

TEST_F(Win32LogTest, RecordIsAppendedWhileAnotherProcessHasTheFileOpen) {
    WriteBytes(ExpectedLog(), "earlier\r\n");
    // Another reader and writer of the file, as a log viewer would hold it.
    HANDLE other = CreateFileW(reinterpret_cast<const wchar_t*>(ExpectedLog().c_str()),
                               GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    LogRecord("while open", 1, "s");
    CloseHandle(other);
    EXPECT_EQ(ReadBytes(ExpectedLog()), "earlier\r\ns(1): while open\r\n");
}

TEST_F(Win32LogTest, OversizedLogIsDeletedAtTheFirstRecordOnly) {
    struct SizeCase {
        std::uint64_t size;
        bool deleted;
    };
    for (const SizeCase c : {SizeCase{kLogSizeLimit, false}, SizeCase{kLogSizeLimit + 1, true}}) {
        {
            HANDLE file =
                CreateFileW(reinterpret_cast<const wchar_t*>(ExpectedLog().c_str()), GENERIC_WRITE,
                            0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            LARGE_INTEGER end{};
            end.QuadPart = static_cast<LONGLONG>(c.size);
            SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
            SetEndOfFile(file);
            CloseHandle(file);
        }
        ResetLogOnceFlagForTesting();
        LogRecord("new", 1, "s");
        LogRecord("next", 2, "s");
        const std::string records = "s(1): new\r\ns(2): next\r\n";
        const std::string content = ReadBytes(ExpectedLog());
        if (c.deleted) {
            EXPECT_EQ(content, records);
        } else {
            EXPECT_EQ(content.size(), c.size + records.size());
        }
    }
}

TEST(Win32Identity, ProductTextFromTheStringResourceIsTrimmed) {
    const std::optional<std::u16string> text = EmbeddedProductText();
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, u"  Tarnwick-X64-SQL ");
    // The resource wins over the file name and keeps its capitals.
    EXPECT_EQ(DetermineProduct(), u"Tarnwick-X64-SQL");
}

TEST(Win32Identity, ModulePathNamesTheProgram) {
    const std::u16string path = OwnModulePath();
    ASSERT_GT(path.size(), 3u);
    EXPECT_EQ(path.substr(1, 2), u":\\") << ToUtf8(path);
    EXPECT_EQ(path.substr(path.size() - 16), u"\\win32_tests.exe");
    EXPECT_EQ(ProductFromModulePath(path), u"win32_tests");
}

// A message-only window that counts what it receives.
class CountingWindow {
  public:
    CountingWindow() {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &CountingWindow::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"Win32PumpTestWindow";
        RegisterClassW(&windowClass);
        mWindow = CreateWindowExW(0, L"Win32PumpTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~CountingWindow() { DestroyWindow(mWindow); }
    HWND Get() const { return mWindow; }
    static int Received() { return sReceived; }
    static void ResetCount() { sReceived = 0; }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message == WM_APP) {
            ++sReceived;
            return 0;
        }
        return DefWindowProcW(window, message, w, l);
    }
    static inline int sReceived = 0;
    HWND mWindow = nullptr;
};

int DrainApplicationMessages() {
    int left = 0;
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_APP, WM_APP, PM_REMOVE)) ++left;
    return left;
}

TEST(Win32Pump, DispatchesAtMostTheBudgetThenRunsIdleWork) {
    CountingWindow window;
    ASSERT_NE(window.Get(), nullptr);
    DrainApplicationMessages();
    CountingWindow::ResetCount();
    std::vector<long> idleCounts;
    const int handler = AddIdleHandler([&idleCounts](long count) {
        idleCounts.push_back(count);
        return count < 2;
    });
    for (int i = 0; i < 5; ++i) PostMessageW(window.Get(), WM_APP, 0, 0);

    PumpMessages(3);
    EXPECT_EQ(CountingWindow::Received(), 3);
    EXPECT_EQ(idleCounts, (std::vector<long>{0, 1, 2}));

    PumpMessages(0);
    EXPECT_EQ(CountingWindow::Received(), 3);
    RemoveIdleHandler(handler);
    EXPECT_EQ(DrainApplicationMessages(), 2);
}

TEST(Win32Pump, QuitMessageIsPostedAgainAndEndsThePumping) {
    CountingWindow window;
    DrainApplicationMessages();
    CountingWindow::ResetCount();
    PostMessageW(window.Get(), WM_APP, 0, 0);
    PostQuitMessage(0);
    PostMessageW(window.Get(), WM_APP, 0, 0);

    PumpMessages(10);
    // Posted messages come before the quit message, which then stops the pumping.
    EXPECT_EQ(CountingWindow::Received(), 2);
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
}

}  // namespace
