// The remembered release index sequence on Windows: kept under %LOCALAPPDATA%, replaced as one
// step, and a lost or damaged record counts as 0.
#include <gtest/gtest.h>

#include "catalogue/accepted_sequence.h"
#include "core/file_system.h"
#include "core/local_state.h"
#include "win32_test_support.h"

namespace {

// Points LOCALAPPDATA at a folder for the lifetime of the object.
class ScopedLocalAppData {
  public:
    explicit ScopedLocalAppData(const std::u16string& folder) {
        wchar_t saved[MAX_PATH + 1] = {};
        const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH + 1);
        mHadValue = length > 0 && length <= MAX_PATH;
        mSaved = saved;
        SetEnvironmentVariableW(L"LOCALAPPDATA", reinterpret_cast<const wchar_t*>(folder.c_str()));
    }
    ~ScopedLocalAppData() {
        SetEnvironmentVariableW(L"LOCALAPPDATA", mHadValue ? mSaved.c_str() : nullptr);
    }

  private:
    bool mHadValue = false;
    std::wstring mSaved;
};

TEST(Win32AcceptedSequence, IsKeptPerProductUnderLocalAppDataAndReplacedAsOneStep) {
    TempFolder folder;
    ScopedLocalAppData scoped(folder.Path());
    EXPECT_EQ(LocalStateFolder(), folder.Path());
    const std::u16string record = folder / u"setup-launcher\\index-sequence\\tarnwick-x64-sql";
    EXPECT_EQ(AcceptedSequencePath("tarnwick-x64-sql"), record);
    EXPECT_EQ(AcceptedSequencePath("a/b:c"), folder / u"setup-launcher\\index-sequence\\a%2Fb%3Ac");

    EXPECT_EQ(ReadAcceptedSequence("tarnwick-x64-sql"), 0u);  // no record yet
    RememberAcceptedSequence("tarnwick-x64-sql", 1765421228);
    EXPECT_EQ(ReadBytes(record), "1765421228\n");
    RememberAcceptedSequence("tarnwick-x64-sql", 1765421300);  // over the existing record
    EXPECT_EQ(ReadAcceptedSequence("tarnwick-x64-sql"), 1765421300u);
    EXPECT_EQ(ReadAcceptedSequence("other-product"), 0u);

    WriteBytes(record, "12ab\n");
    EXPECT_EQ(ReadAcceptedSequence("tarnwick-x64-sql"), 0u);
    // No temporary file is left beside the record.
    EXPECT_EQ(ListDirectory(folder / u"setup-launcher\\index-sequence").size(), 1u);
}

}  // namespace
