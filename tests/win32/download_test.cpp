// The download engine over WinINet: several connections at once, each with its own request handle
// on a thread of the pool, and a verified file from a server that allows only two; a package
// unpacked while it downloads.
#include <gtest/gtest.h>

#include <windows.h>
#include <zip.h>

#include <string>
#include <utility>
#include <vector>

#include "../support/progress_recorder.h"
#include "core/endpoints.h"
#include "core/file_system.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "core/win32_support.h"
#include "download/archive_download.h"
#include "download/block_fetcher.h"
#include "install/archive_extraction.h"
#include "install/unpack_stage.h"
#include "win32_test_support.h"

namespace {
constexpr std::uint64_t kBlock = 65536;

std::string NoiseBytes(std::size_t size) {
    std::string data(size, '\0');
    std::uint32_t state = 5;
    for (char& c : data) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return data;
}

class Win32DownloadTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sAuthority = new TrustedTestAuthority(TestServers::Shared().AuthorityPem());
    }
    static void TearDownTestSuite() {
        delete sAuthority;
        sAuthority = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(sAuthority->Trusted()); }
    void TearDown() override {
        SetDownloadConnectionLimits({});
        DownloadHost = Endpoint{};
    }

    // Publishes a release of 32 blocks on the server and downloads it; the failure's message, empty
    // when the file arrived verified.
    std::string Download(const std::string& server) {
        TestServers& servers = TestServers::Shared();
        const std::string release = NoiseBytes(32 * kBlock);
        std::string list = "[";
        for (std::size_t at = 0; at < release.size(); at += kBlock)
            list += (at == 0 ? "\"" : ",\"") +
                    Md5Hex(std::string_view(release).substr(at, kBlock)) + "\"";
        servers.PutObject(server, "c/release.zip", release);
        servers.PutObject(server, "c/release.blocks", list + "]");
        DownloadHost = Endpoint{u"localhost", servers.Port(server), true};

        SetupSelection selection;
        selection.containername = "c";
        selection.filename = "release.zip";
        selection.filetype = "arc";
        selection.blockhash = "release.blocks";
        selection.blocksize = kBlock;
        selection.filesize = release.size();
        selection.hash = HashText(release, "SHA256", true);
        selection.destination = mFolder.Path() + u"\\";
        try {
            DownloadArchive(selection);
        } catch (const DownloadException& error) {
            return error.what();
        }
        EXPECT_TRUE(ReadBytes(mFolder / u"release.zip") == release);
        return {};
    }

    static inline TrustedTestAuthority* sAuthority = nullptr;
    TempFolder mFolder;
    ProgressRecorder mViews;
};

TEST_F(Win32DownloadTest, BlocksComeOverSeveralConnectionsAtOnce) {
    SetDownloadConnectionLimits({4, 8});
    EXPECT_EQ(Download("counted"), "");
    EXPECT_GE(TestServers::Shared().Connections("counted")["peak"].get<int>(), 2);
}

TEST_F(Win32DownloadTest, AServerThatResetsExtraConnectionsStillGivesAVerifiedFile) {
    SetDownloadConnectionLimits({8, 8});
    EXPECT_EQ(Download("limited"), "");
}
}  // namespace

namespace {

// A package of three content members under their digests and its "arcinfo.json", built with
// libzip (deflated, or stored).
std::string BuildPackage(const TempFolder& folder, const std::vector<std::string>& contents,
                         const std::string& arcinfo, bool stored) {
    const std::string path = ToUtf8(folder / u"built.zip");
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(archive, nullptr);
    if (archive == nullptr) return {};
    std::vector<std::pair<std::string, std::string>> members;
    for (const std::string& content : contents)
        members.emplace_back(HashText(content, "SHA256", true), content);
    members.emplace_back("arcinfo.json", arcinfo);
    for (const auto& [name, content] : members) {
        zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
        const zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_OVERWRITE);
        EXPECT_GE(index, 0);
        if (stored)
            zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    }
    EXPECT_EQ(zip_close(archive), 0);
    return ReadBytes(folder / u"built.zip");
}

class Win32UnpackStageTest : public Win32DownloadTest,
                             public ::testing::WithParamInterface<bool> {};

// The package is unpacked while it downloads, through its hidden staging folder, and moved into
// place; the staging folder is gone afterwards and nothing was unpacked after the download.
TEST_P(Win32UnpackStageTest, APackageIsUnpackedWhileItDownloadsAndMovedIntoPlace) {
    SetDownloadConnectionLimits({2, 4});
    const std::vector<std::string> contents = {NoiseBytes(300000), std::string(200000, 'a'),
                                               NoiseBytes(500000) + "end"};
    std::vector<std::string> digests;
    for (const std::string& content : contents)
        digests.push_back(HashText(content, "SHA256", true));
    const std::string arcinfo = "[{\"hash\":\"" + digests[0] + "\",\"dst\":[\"a\\\\one.bin\"]}," +
                                "{\"hash\":\"" + digests[1] + "\",\"dst\":[\"two.txt\"]}," +
                                "{\"hash\":\"" + digests[2] +
                                "\",\"dst\":[\"b/three.bin\",\"c\\\\copy.bin\"]}]";
    TempFolder build;
    const std::string package = BuildPackage(build, contents, arcinfo, GetParam());
    TestServers& servers = TestServers::Shared();
    std::string list = "[";
    for (std::size_t at = 0; at < package.size(); at += kBlock)
        list +=
            (at == 0 ? "\"" : ",\"") + Md5Hex(std::string_view(package).substr(at, kBlock)) + "\"";
    servers.PutObject("counted", "c/p.zip", package);
    servers.PutObject("counted", "c/p.blocks", list + "]");
    DownloadHost = Endpoint{u"localhost", servers.Port("counted"), true};
    SetSetupStarter([](const std::u16string&) {});

    SetupSelection selection;
    selection.product = u"p";
    selection.version = "1.0";
    selection.containername = "c";
    selection.filename = "p.zip";
    selection.filetype = "arc";
    selection.download_only = true;
    selection.blockhash = "p.blocks";
    selection.blocksize = kBlock;
    selection.filesize = package.size();
    selection.hash = HashText(package, "SHA256", true);
    selection.destination = mFolder.Path() + u"\\";
    const std::u16string logBefore = LogFilePath();
    const std::string logStart = ReadBytes(logBefore);
    {
        UnpackStage stage(selection);
        EXPECT_NO_THROW(InstallArchive(DownloadArchive(selection, &stage), &stage));
    }
    SetSetupStarter(nullptr);
    EXPECT_TRUE(ReadBytes(mFolder / u"p.1.0\\a\\one.bin") == contents[0]);
    EXPECT_TRUE(ReadBytes(mFolder / u"p.1.0\\two.txt") == contents[1]);
    EXPECT_TRUE(ReadBytes(mFolder / u"p.1.0\\b\\three.bin") == contents[2]);
    EXPECT_TRUE(ReadBytes(mFolder / u"p.1.0\\c\\copy.bin") == contents[2]);
    EXPECT_EQ(GetFileAttributesW(Wide(mFolder / u".p.1.0.unpacking")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(Wide(mFolder / u"p.zip")), INVALID_FILE_ATTRIBUTES);
    const std::string log = ReadBytes(logBefore);
    EXPECT_EQ(log.find("after its download", logStart.size()), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Methods, Win32UnpackStageTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Stored" : "Deflated"; });

// Moving and hiding: a folder is renamed to a free name, a file replaces a file, and a hidden
// folder carries the attribute.
TEST(Win32FileMoves, FoldersMoveFilesReplaceAndFoldersHide) {
    TempFolder folder;
    ASSERT_TRUE(CreateDirectoryOnce(folder / u"from"));
    WriteBytes(folder / u"from\\inside.txt", "inside");
    EXPECT_TRUE(MoveBelow(folder / u"", u"from\\", u"to"));
    EXPECT_EQ(ReadBytes(folder / u"to\\inside.txt"), "inside");
    WriteBytes(folder / u"new.txt", "new");
    WriteBytes(folder / u"old.txt", "old");
    EXPECT_TRUE(MoveBelow(folder / u"", u"new.txt", u"old.txt"));
    EXPECT_EQ(ReadBytes(folder / u"old.txt"), "new");
    HideEntry(folder / u"to\\");
    const DWORD attributes = GetFileAttributesW(Wide(folder / u"to"));
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
}

}  // namespace
