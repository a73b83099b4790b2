// Whole launches of the built launcher in the terminal edition, answered line by line on standard
// input, against the local store with the sample product "tarnwick-x64-sql" (published by the test
// command) and products these tests publish themselves with setup-publisher.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "core/hash_context.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"
#include "support/launcher_process.h"
#include "support/local_store.h"
#include "support/publisher_process.h"
#include "support/scripted_server.h"
#include "support/test_environment.h"

namespace fs = std::filesystem;

namespace {
constexpr char kSample[] = "tarnwick-x64-sql";

bool WaitForFile(const fs::path& path) {
    // The setup is started detached: only its marker tells that it ran.
    for (int i = 0; i < 500 && !(fs::exists(path) && fs::file_size(path) > 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fs::exists(path) && fs::file_size(path) > 0;
}

std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    if (fs::exists(folder)) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string UniqueName(const std::string& stem) {
    std::random_device random;
    return stem + "-" + std::to_string(random() % 1000000);
}

// A small product of one or more "arc" releases, staged with setup-publisher.
class StagedProduct {
  public:
    explicit StagedProduct(std::string product) : mProduct(std::move(product)) {
        fs::create_directories(mDir.path() / "content");
        WriteFileBytes(mDir.path() / "content" / "readme.txt", "sample " + mProduct + "\n");
        WriteFileBytes(mDir.path() / "content" / "setup.sh",
                       "#!/bin/sh\necho ran > \"$SAMPLE_SETUP_MARKER\"\n");
        WriteFileBytes(mDir.path() / "commands.txt", "* * setup.sh\n");
        Run({"pack", (mDir.path() / "content").string(), "-o", Package().string(), "-s",
             (mDir.path() / "commands.txt").string()});
    }

    void AddRelease(const std::string& key, std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {
            "release", Package().string(), "-s", Staging().string(),
            "-p",      mProduct,           "-r", key,
            "-t",      "Release " + key,   "-b", "4KiB"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        Run(arguments);
    }
    void Upload(std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"upload", "-s", Staging().string(), "-p", mProduct};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        Run(arguments);
    }
    fs::path Index() const { return Staging() / (mProduct + "-v2") / "index"; }
    fs::path Staging() const { return mDir.path() / "staging"; }
    fs::path Package() const { return mDir.path() / "package.zip"; }
    const std::string& product() const { return mProduct; }

  private:
    void Run(const std::vector<std::string>& arguments) {
        PublisherRun run = RunPublisher(arguments);
        ASSERT_EQ(run.exitCode, 0) << run.err;
    }
    std::string mProduct;
    TempDir mDir;
};

class LaunchE2eTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string missing;
        if (!LocalStoreFromEnvironment(&missing)) {
            GTEST_SKIP() << LocalStoreSkipMessage(missing);
        }
    }

    LaunchResult LaunchSample(LauncherSandbox& sandbox, const std::string& answers) {
        return sandbox.Launch(answers, {{"SAMPLE_SETUP_MARKER", Marker(sandbox).string()}});
    }
    static fs::path Marker(const LauncherSandbox& sandbox) { return sandbox.root() / "marker.txt"; }

    static void ExpectCleanLog(const LaunchResult& result) {
        EXPECT_NE(result.log.find("): Product via process name tarnwick-x64-sql\r\n"),
                  std::string::npos);
        EXPECT_NE(result.log.find("): downloadSetup: elapsed seconds: "), std::string::npos);
        EXPECT_EQ(result.log.find("throwing"), std::string::npos) << result.log;
    }
};

TEST_F(LaunchE2eTest, CurrentReleaseInTheChosenLanguageIsInstalledAndStarted) {
    LauncherSandbox sandbox(kSample);
    // Version: current; language edition 1 (de-DE); default folder; install; OK. The edition's
    // package starts its own setup without asking the language.
    LaunchResult result = LaunchSample(sandbox, "\n1\n\n\n\n");
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err.find("Setup launcher:"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("Language [2]: "), std::string::npos) << "English interface";
    EXPECT_EQ(result.out.find("Sprache/Language ["), std::string::npos);

    fs::path folder = sandbox.downloads() / "tarnwick-x64-sql.2024.1";
    EXPECT_NE(ReadFileBytes(folder / "readme.txt").find("Deutsche Ausgabe"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(folder / "docs" / "licence.txt"),
              ReadFileBytes(folder / "licence.txt"));
    ASSERT_TRUE(WaitForFile(Marker(sandbox)));
    std::string marker = ReadFileBytes(Marker(sandbox));
    EXPECT_NE(marker.find("release=2024.1"), std::string::npos) << marker;
    EXPECT_NE(marker.find("language=de"), std::string::npos) << marker;
    EXPECT_EQ(FilesIn(sandbox.downloads()), (std::vector<std::string>{"tarnwick-x64-sql.2024.1"}))
        << "the package is deleted";
    ExpectCleanLog(result);
    EXPECT_NE(result.log.find("): extract: elapsed seconds: "), std::string::npos);
}

TEST_F(LaunchE2eTest, OlderReleaseChosenByNumber) {
    LauncherSandbox sandbox(kSample);
    // 2023.0 has no editions; its package asks which setup to start: 2 (English).
    LaunchResult result = LaunchSample(sandbox, "2\n\n\n\n2\n");
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.find("\nLanguage ["), std::string::npos);
    EXPECT_NE(result.out.find("Sprache/Language [2]: "), std::string::npos);
    ASSERT_TRUE(WaitForFile(Marker(sandbox))) << result.err;
    std::string marker = ReadFileBytes(Marker(sandbox));
    EXPECT_NE(marker.find("release=2023.0"), std::string::npos) << marker;
    EXPECT_NE(marker.find("language=en"), std::string::npos) << marker;
    ExpectCleanLog(result);
}

TEST_F(LaunchE2eTest, DownloadOnlyUnpacksAnArchiveButStartsNothing) {
    LauncherSandbox sandbox(kSample);
    LaunchResult result = LaunchSample(sandbox, "\n\n\ny\n\n");
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(FilesIn(sandbox.downloads()), (std::vector<std::string>{"tarnwick-x64-sql.2024.1"}));
    EXPECT_NE(ReadFileBytes(sandbox.downloads() / "tarnwick-x64-sql.2024.1" / "readme.txt")
                  .find("English edition"),
              std::string::npos);
    EXPECT_EQ(result.out.find("Sprache/Language"), std::string::npos) << "no language question";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(Marker(sandbox)));
    ExpectCleanLog(result);
}

TEST_F(LaunchE2eTest, DownloadOnlyKeepsAnImageAndMountsNothing) {
    LauncherSandbox sandbox(kSample);
    LaunchResult result = LaunchSample(sandbox, "3\n\ny\n\n");
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(FilesIn(sandbox.downloads()),
              (std::vector<std::string>{"tarnwick-x64-sql-2024.0.iso"}));
    ExpectCleanLog(result);
}

TEST_F(LaunchE2eTest, CancellingAnyQuestionEndsSilently) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "version"},        {"\n", "language"},    {"\n\n", "destination"},
        {"\n\n\n", "download"}, {"\n\n\n\nn\n", "OK"},
    };
    for (const auto& [answers, question] : cases) {
        SCOPED_TRACE(question);
        LauncherSandbox sandbox(kSample);
        LaunchResult result = LaunchSample(sandbox, answers);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
        std::size_t abort = result.log.find("): throwing AbortException\r\n");
        ASSERT_NE(abort, std::string::npos) << result.log;
        EXPECT_NE(result.log.find("): downloadSetup: elapsed seconds: ", abort), std::string::npos);
        EXPECT_TRUE(FilesIn(sandbox.downloads()).empty());
    }
}

TEST_F(LaunchE2eTest, ReleaseForANewerLauncherIsRefused) {
    StagedProduct product(UniqueName("e2e-newer"));
    product.AddRelease("1.0", {"--current", "--required-setup", "6"});
    product.Upload();
    LauncherSandbox sandbox(product.product());
    LaunchResult result = sandbox.Launch("\n\n\n\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err,
              "Setup launcher: " + product.product() + " requires a newer downloader\n");
    EXPECT_TRUE(FilesIn(sandbox.downloads()).empty());
}

TEST_F(LaunchE2eTest, ProductWithoutIndexIsNotAvailable) {
    std::string product = UniqueName("e2e-missing");
    LauncherSandbox sandbox(product);
    LaunchResult result = sandbox.Launch("");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "Setup launcher: " + product + " is not available for download\n");
    EXPECT_NE(result.log.find("throwing DownloadException(" + product +
                              " is not available for download)"),
              std::string::npos);
}

TEST_F(LaunchE2eTest, ForbiddenSelectionOffersOnlyTheCurrentRelease) {
    StagedProduct product(UniqueName("e2e-forbid"));
    product.AddRelease("1.0");
    product.AddRelease("2.0", {"--current"});
    nlohmann::json index = nlohmann::json::parse(ReadFileBytes(product.Index()));
    index["forbid_release_selection"] = false;
    WriteFileBytes(product.Index(), index.dump());
    product.Upload();
    LauncherSandbox sandbox(product.product());
    // No version question: destination, download only, OK.
    LaunchResult result = sandbox.Launch("\ny\n\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.out.find("1) Release 2.0\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Release 1.0"), std::string::npos);
    EXPECT_EQ(result.out.find("Version ["), std::string::npos);
    EXPECT_EQ(FilesIn(sandbox.downloads()), (std::vector<std::string>{product.product() + ".2.0"}));
}

// The same staged product served by the scripted server, which records every request.
void ServeStaging(ScriptedServer& server, const fs::path& staging) {
    for (const auto& entry : fs::recursive_directory_iterator(staging)) {
        if (entry.is_regular_file()) {
            server.PutObject(fs::relative(entry.path(), staging).generic_string(),
                             ReadFileBytes(entry.path()));
        }
    }
}

std::vector<std::string> Paths(const ScriptedServer& server) {
    std::vector<std::string> paths;
    for (const auto& request : server.Requests()) paths.push_back(request.path);
    return paths;
}

TEST_F(LaunchE2eTest, CompletedDownloadsAreNotFetchedAgain) {
    StagedProduct product(UniqueName("e2e-again"));
    product.AddRelease("1.0", {"--current"});
    nlohmann::json index = nlohmann::json::parse(ReadFileBytes(product.Index()));
    const auto& release = index["releases"]["1.0"];
    const std::string container = release["containername"];
    const std::string filename = release["filename"];
    const std::string blockhash = release["blockhash"];

    // The scripted server's authority is trusted for this scope (the launcher inherits it).
    ScriptedServer server;
    TrustTestAuthority trust;
    ServeStaging(server, product.Staging());
    LauncherSandbox sandbox(product.product());
    LauncherSandbox::Environment env = {
        {"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", server.Endpoint()},
        {"SAMPLE_SETUP_MARKER", (sandbox.root() / "marker.txt").string()}};

    // A package already complete in the destination: only the index and the digest list are
    // fetched, then it is installed as usual.
    fs::create_directories(sandbox.downloads());
    fs::copy_file(product.Staging() / container / filename, sandbox.downloads() / filename);
    LaunchResult result = sandbox.Launch("\n\n\n", env);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Paths(server), (std::vector<std::string>{"/" + product.product() + "-v2/index",
                                                       "/" + container + "/" + blockhash}));
    EXPECT_TRUE(WaitForFile(sandbox.root() / "marker.txt")) << result.err;
    EXPECT_FALSE(fs::exists(sandbox.downloads() / filename));
}

TEST_F(LaunchE2eTest, SecondLaunchOfACompletedImageFetchesOnlyTheIndex) {
    std::string name = UniqueName("e2e-image");
    TempDir dir;
    fs::create_directories(dir.path() / "disc");
    WriteFileBytes(dir.path() / "image.iso", std::string(300000, 'i'));
    StagedProduct product(name);
    {
        PublisherRun run = RunPublisher({"release", (dir.path() / "image.iso").string(), "-s",
                                         product.Staging().string(), "-p", name, "-r", "1.0",
                                         "--type", "iso", "--current"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
    }
    // The scripted server's authority is trusted for this scope (the launcher inherits it).
    ScriptedServer server;
    TrustTestAuthority trust;
    ServeStaging(server, product.Staging());
    LauncherSandbox sandbox(name);
    LauncherSandbox::Environment env = {{"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", server.Endpoint()}};
    ASSERT_EQ(sandbox.Launch("\ny\n\n", env).exitCode, 0);
    EXPECT_GT(server.RequestCount(), 1u);
    server.ClearRequests();
    LaunchResult again = sandbox.Launch("\ny\n\n", env);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(Paths(server), (std::vector<std::string>{"/" + name + "-v2/index"}));
    EXPECT_EQ(ReadFileBytes(sandbox.downloads() / (name + "-1.0.iso")), std::string(300000, 'i'));
}
}  // namespace
