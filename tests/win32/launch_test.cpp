// The Windows program as a whole: started under a product's file name, it fetches that product's
// index over HTTPS, logs to the temporary folder and, with the version question ending as
// cancelled, ends silently with exit code 0.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/file_system.h"
#include "core/product_identity.h"
#include "core/text_conversion.h"
#include "win32_test_support.h"

namespace {

// Sets an environment variable of this process (inherited by programs it starts) for a scope.
class ScopedVariable {
  public:
    ScopedVariable(const wchar_t* name, const std::u16string& value) : mName(name) {
        wchar_t buffer[32768];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        if (length > 0 && length < 32768) mOld = std::wstring(buffer, length);
        SetEnvironmentVariableW(name, reinterpret_cast<const wchar_t*>(value.c_str()));
    }
    ~ScopedVariable() { SetEnvironmentVariableW(mName, mOld ? mOld->c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    const wchar_t* mName;
    std::optional<std::wstring> mOld;
};

// Runs the program to its end; its exit code, or -1 when it could not be run in time.
long RunProgram(const std::u16string& program) {
    std::u16string commandLine = u"\"" + program + u"\" --ignored-option";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(reinterpret_cast<const wchar_t*>(program.c_str()),
                        reinterpret_cast<wchar_t*>(commandLine.data()), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    DWORD exitCode = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    return static_cast<long>(exitCode);
}

TEST(Win32Launch, ProductFromTheFileNameIndexOverHttpsCancelledSilently) {
    TestServers& servers = TestServers::Shared();
    const TrustedTestAuthority authority(servers.AuthorityPem());
    ASSERT_TRUE(authority.Trusted());
    servers.Clear("https");
    servers.PutObject("https", "tarnwick-x64-sql-v2/index",
                      R"({"current_release": "2024.1", "releases": {"2024.1": {
                          "filename": "rel.zip", "hash": "h", "filesize": 10, "blockhash": "b",
                          "blocksize": 5, "containername": "c"}}})");
    const std::u16string tests = OwnModulePath();
    const std::u16string built =
        tests.substr(0, tests.rfind(u'\\') + 1) + ToUtf16(SETUP_LAUNCHER_FROM_TESTS);
    TempFolder folder;
    const std::u16string launcher = folder / u"Tarnwick-X64-SQL.exe";
    ASSERT_TRUE(CopyFileOver(built, launcher)) << ToUtf8(built);

    long exitCode = 0;
    {
        ScopedVariable temp(L"TEMP", folder.Path());
        ScopedVariable tmp(L"TMP", folder.Path());
        const std::u16string endpoint =
            u"https://localhost:" + ToUtf16(std::to_string(servers.Port("https")));
        ScopedVariable download(L"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", endpoint);
        ScopedVariable table(L"SETUP_LAUNCHER_TABLE_ENDPOINT", endpoint);
        exitCode = RunProgram(launcher);
    }
    EXPECT_EQ(exitCode, 0);

    // Should the index not have been asked for, the launcher's log shows how far it got.
    const std::string log = ReadBytes(folder / u"CAD-Setup.log");
    const nlohmann::json requests = servers.Requests("https");
    ASSERT_EQ(requests.size(), 1u) << log;
    EXPECT_EQ(requests[0]["target"], "/tarnwick-x64-sql-v2/index");

    EXPECT_NE(log.find("): Process name " + ToUtf8(launcher) + "\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("): Product via process name tarnwick-x64-sql\r\n"), std::string::npos);
    EXPECT_NE(log.find("): throwing AbortException\r\n"), std::string::npos);
    EXPECT_NE(log.find("): downloadSetup: elapsed seconds: "), std::string::npos);
}

}  // namespace
