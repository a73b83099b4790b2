// A package's setup program is really started: detached, from a file the package stored without
// execute permission, in the launcher's working folder, and the package is gone afterwards.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "core/text_conversion.h"
#include "install/archive_extraction.h"
#include "support/package_builder.h"
#include "support/scripted_dialogs.h"
#include "support/test_environment.h"

namespace fs = std::filesystem;

namespace {

// Waits (bounded) for the started program: it runs on its own, so only its marker tells.
bool WaitForFile(const fs::path& path) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (fs::exists(path) && fs::file_size(path) > 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(InstallProcessTest, StartsTheSetupProgramDetachedAndDeletesThePackage) {
    TempDir dir;
    ScopedEnv tmp("TMPDIR", dir.path().string());
    ScriptedViews views;
    ScopedViews scopedViews(views);
    const fs::path marker = dir.path() / "setup-ran.txt";
    const fs::path partial = dir.path() / "setup-ran.tmp";
    const std::string script = "#!/bin/sh\npwd > '" + partial.string() + "'\nmv '" +
                               partial.string() + "' '" + marker.string() + "'\n";

    PackageBuilder package;
    const std::string setup = package.AddContent(script);
    package.ArcInfo(R"([{"hash":")" + setup + R"(","dst":["x64\\setup"]}])")
        .ArcConfig(R"({"startCommands":[{"language":"*","bitness":"*","command":"x64\\setup"}]})")
        .Write(dir.path() / "prod-1.zip");

    SetupSelection selection;
    selection.product = u"prod";
    selection.version = "1";
    selection.filename = "prod-1.zip";
    selection.filetype = "arc";
    selection.destination = dir.folder();
    const fs::path extracted = dir.path() / "prod.1/x64/setup";

    InstallArchive(selection);

    EXPECT_FALSE(fs::exists(dir.path() / "prod-1.zip"));
    ASSERT_TRUE(WaitForFile(marker)) << "the setup program did not run";
    EXPECT_EQ(ReadFileBytes(marker), fs::current_path().string() + "\n");
    EXPECT_NE(fs::status(extracted).permissions() & fs::perms::owner_exec, fs::perms::none);
    // The program was handed to the system: the launcher has no child left to wait for.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(views.messages.size(), 0u);
}

}  // namespace
