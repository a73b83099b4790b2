// The download engine over WinINet: several connections at once, each with its own request handle
// on a thread of the pool, and a verified file from a server that allows only two.
#include <gtest/gtest.h>

#include <string>

#include "../support/progress_recorder.h"
#include "core/endpoints.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "download/archive_download.h"
#include "download/block_fetcher.h"
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
