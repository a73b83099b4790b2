// A package's setup program is really started: detached, from a file the package stored without
// execute permission, in the launcher's working folder, and the package is gone afterwards. Whole
// launches of the built launcher show the same, with the language question on the terminal, and
// show a package that cannot be unpacked in the message box.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "core/hash_context.h"
#include "core/text_conversion.h"
#include "install/archive_extraction.h"
#include "support/launcher_process.h"
#include "support/package_builder.h"
#include "support/scripted_dialogs.h"
#include "support/scripted_server.h"
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

// A setup program that writes its name and working folder into the marker, completely or not at
// all.
std::string SetupScript(const std::string& name, const fs::path& marker) {
    return "#!/bin/sh\nprintf '%s %s\\n' " + name + " \"$(pwd)\" > '" + marker.string() +
           ".tmp'\nmv '" + marker.string() + ".tmp' '" + marker.string() + "'\n";
}

// Serves one "arc" release of the product: its index, its package and the package's block digests.
class ReleaseServer {
  public:
    static constexpr std::uint64_t kBlock = 65536;

    ReleaseServer(const std::string& product, const std::string& package) {
        const std::string container = product + "-files";
        std::string digests = "[";
        for (std::size_t at = 0; at < package.size(); at += kBlock) {
            digests += (at == 0 ? "\"" : ",\"") +
                       Md5Hex(std::string_view(package).substr(at, kBlock)) + "\"";
        }
        mServer.PutObject(container + "/" + product + "-2.0.zip", package);
        mServer.PutObject(container + "/" + product + "-2.0.blocks", digests + "]");
        mServer.PutObject(product + "-v2/index",
                          R"({"current_release":"2.0","releases":{"2.0":{"release":"Version 2.0",)"
                          R"("filetype":"arc","containername":")" +
                              container + R"(","filename":")" + product + R"(-2.0.zip","hash":")" +
                              Sha256Of(package) + R"(","filesize":)" +
                              std::to_string(package.size()) + R"(,"blockhash":")" + product +
                              R"(-2.0.blocks","blocksize":)" + std::to_string(kBlock) + "}}}");
        // Usage events are accepted.
        mServer.SetHook([](const RecordedRequest& request, Reply& reply) {
            if (request.method == "POST") {
                reply = Reply::Status(204);
            }
        });
    }

    // The launch's environment: this server for both stores, and the interface language and the
    // Downloads folder given explicitly (empty locale variables count as unset).
    LauncherSandbox::Environment Environment(const LauncherSandbox& sandbox,
                                             const std::string& lang) const {
        return {{"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", mServer.Endpoint()},
                {"SETUP_LAUNCHER_TABLE_ENDPOINT", mServer.Endpoint()},
                {"SETUP_LAUNCHER_CA_FILE", TestPki::Shared().CaFile()},
                {"XDG_DOWNLOAD_DIR", sandbox.downloads().string()},
                {"LC_ALL", ""},
                {"LC_MESSAGES", ""},
                {"LANG", lang}};
    }

  private:
    ScriptedServer mServer;
};

// Destination kept, not download only, OK.
constexpr char kConfirmRelease[] = "\n\n\n";

TEST(InstallProcessTest, WholeLaunchAsksTheLanguageAndStartsThatEdition) {
    LauncherSandbox sandbox("installer");
    const fs::path marker = sandbox.root() / "setup-ran.txt";
    PackageBuilder package;
    const std::string german = package.AddContent(SetupScript("de", marker));
    const std::string english = package.AddContent(SetupScript("en", marker));
    package
        .ArcInfo(R"([{"hash":")" + german +
                 R"(","dst":["de\\setup.sh"]},)"
                 R"({"hash":")" +
                 english + R"(","dst":["en\\setup.sh"]}])")
        .ArcConfig(R"({"startCommands":[)"
                   R"({"language":"de","bitness":"x64","command":"de\\setup.sh"},)"
                   R"({"language":"de","bitness":"x86","command":"de\\setup.sh"},)"
                   R"({"language":"en","bitness":"x64","command":"en\\setup.sh"},)"
                   R"({"language":"en","bitness":"x86","command":"en\\setup.sh"}]})")
        .Write(sandbox.root() / "package.zip");
    ReleaseServer server("installer", ReadFileBytes(sandbox.root() / "package.zip"));

    // German interface: "Deutsch" is offered first; the user picks English.
    const LaunchResult result = sandbox.Launch(std::string(kConfirmRelease) + "2\n",
                                               server.Environment(sandbox, "de_DE.UTF-8"));

    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err.find("Setup launcher:"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("1) Deutsch\n2) English\nSprache/Language [1]: "), std::string::npos)
        << result.out;
    ASSERT_TRUE(WaitForFile(marker)) << result.out << result.err << result.log;
    EXPECT_EQ(ReadFileBytes(marker), "en " + sandbox.root().string() + "\n");
    EXPECT_FALSE(fs::exists(sandbox.downloads() / "installer-2.0.zip"));
    EXPECT_TRUE(fs::exists(sandbox.downloads() / "installer.2.0" / "de" / "setup.sh"));
}

TEST(InstallProcessTest, WholeLaunchShowsAPackageThatCannotBeUnpacked) {
    LauncherSandbox sandbox("broken");
    const fs::path marker = sandbox.root() / "setup-ran.txt";
    PackageBuilder package;
    const std::string setup = package.AddContent(SetupScript("any", marker));
    const std::string promised = Sha256Of("the data the list promises");
    package.Add(promised, "other data")
        .ArcInfo(R"([{"hash":")" + setup +
                 R"(","dst":["setup.sh"]},)"
                 R"({"hash":")" +
                 promised + R"(","dst":["data\\file.bin"]}])")
        .ArcConfig(R"({"startCommands":[{"language":"*","bitness":"*","command":"setup.sh"}]})")
        .Write(sandbox.root() / "package.zip");
    ReleaseServer server("broken", ReadFileBytes(sandbox.root() / "package.zip"));

    const LaunchResult result =
        sandbox.Launch(kConfirmRelease, server.Environment(sandbox, "C.UTF-8"));

    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.err.find("Setup launcher: The package broken-2.0.zip could not be unpacked: "
                              "\"data\\file.bin\" does not match its digest " +
                              promised),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.log.find("throwing ZipException(The package broken-2.0.zip"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(sandbox.downloads() / "broken-2.0.zip"));
    EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
