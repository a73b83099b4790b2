// Whole launches against a hostile scripted server (and hostile packages): every one ends with
// its message in bounded time and memory, nothing written outside the destination and nothing
// unverified started. The launcher's blob and table endpoints both point at scripted servers, so
// these launches need no local store.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "support/launcher_process.h"
#include "support/package_builder.h"
#include "support/publisher_process.h"
#include "support/scripted_server.h"
#include "support/test_environment.h"

namespace fs = std::filesystem;

namespace {

constexpr char kIndexBound[] = "failed: the body is longer than 16777216 bytes";

// The message box line and what follows it; empty when the launch showed none (standard error
// also carries the progress display).
std::string Message(const LaunchResult& result) {
    const std::size_t at = result.err.find("Setup launcher: ");
    return at == std::string::npos ? std::string() : result.err.substr(at);
}

std::string UniqueName(const std::string& stem) {
    std::random_device random;
    return stem + "-" + std::to_string(random() % 1000000);
}

// One product with one current release, staged with setup-publisher and served by the scripted
// server; the usage events go to a second scripted server that answers every insert with 201.
class HostileLaunchTest : public ::testing::Test {
  public:
    HostileLaunchTest()
        : mProduct(UniqueName("hostile")), mServer(ScriptedServer::Options{.keepAlive = true}) {
        mTable.SetHook([](const RecordedRequest&, Reply& reply) { reply = Reply::Status(201); });
    }

    // An "arc" release of a small package (three blocks of 4 KiB), or the given package.
    void StageArc(const fs::path& package = fs::path()) {
        fs::path file = package;
        if (file.empty()) {
            file = mDir.path() / "package.zip";
            PackageBuilder builder;
            const std::string content = NoiseBytes(10000);
            builder.ArcInfo("[{\"hash\": \"" + builder.AddContent(content) +
                            "\", \"dst\": [\"content.bin\"]}]");
            builder.Write(file);
        }
        Stage({"release", file.string(), "-b", "4KiB"});
    }
    void StageImage() {
        WriteFileBytes(mDir.path() / "image.iso", std::string(300000, 'i'));
        Stage({"release", (mDir.path() / "image.iso").string(), "--type", "iso"});
    }

    nlohmann::json Index() const { return nlohmann::json::parse(ReadFileBytes(IndexFile())); }
    void SetIndex(const nlohmann::json& index) {
        WriteFileBytes(IndexFile(), index.dump());
        Serve();
    }
    nlohmann::json& Release(nlohmann::json& index) { return index["releases"]["1.0"]; }
    std::string ObjectPath(const std::string& member) {
        const nlohmann::json index = Index();
        const auto& release = index["releases"]["1.0"];
        return "/" + release["containername"].get<std::string>() + "/" +
               release[member].get<std::string>();
    }

    // Destination as offered, download only, OK: nothing is started.
    LaunchResult Launch(const std::string& answers = "\ny\n\n") {
        return mSandbox.Launch(answers, {{"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", mServer.Endpoint()},
                                         {"SETUP_LAUNCHER_TABLE_ENDPOINT", mTable.Endpoint()}});
    }
    fs::path Downloads() const { return mSandbox.downloads(); }
    fs::path ExtractionFolder() const { return Downloads() / (mProduct + ".1.0"); }
    const std::string& Product() const { return mProduct; }

    std::string mProduct;
    TrustTestAuthority mTrust;
    ScriptedServer mServer;
    ScriptedServer mTable;
    TempDir mDir;
    LauncherSandbox mSandbox{mProduct};

  private:
    fs::path Staging() const { return mDir.path() / "staging"; }
    fs::path IndexFile() const { return Staging() / (mProduct + "-v2") / "index"; }
    void Stage(std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"-s", Staging().string(), "-p", mProduct, "-r", "1.0",
                                           "-t", "Release 1.0", "--current"});
        PublisherRun run = RunPublisher(arguments);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        Serve();
    }
    void Serve() {
        for (const auto& entry : fs::recursive_directory_iterator(Staging()))
            if (entry.is_regular_file())
                mServer.PutObject(fs::relative(entry.path(), Staging()).generic_string(),
                                  ReadFileBytes(entry.path()));
    }
};

Reply Endless(ContentEncoding encoding, std::string piece = std::string()) {
    Reply reply = Reply::Status(200, std::move(piece));
    reply.endless = true;
    reply.encoding = encoding;
    return reply;
}

TEST_F(HostileLaunchTest, IndexBodiesWithoutBoundEndAsUnavailable) {
    StageArc();
    const std::string index = "/" + Product() + "-v2/index";
    const std::vector<std::pair<const char*, Reply>> cases = {
        {"17 MiB that are not JSON", Reply::Status(200, std::string(17 << 20, '{'))},
        {"a body that never ends", Endless(ContentEncoding::None, "not json ")},
        {"gzip of zeros without end", Endless(ContentEncoding::Gzip)},
    };
    for (const auto& [name, answer] : cases) {
        SCOPED_TRACE(name);
        mServer.SetHook([&, answer = answer](const RecordedRequest& request, Reply& reply) {
            if (request.path == index) reply = answer;
        });
        const LaunchResult result = Launch();
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(Message(result),
                  "Setup launcher: " + Product() + " is not available for download\n");
        EXPECT_NE(result.log.find(kIndexBound), std::string::npos) << result.log;
    }
}

TEST_F(HostileLaunchTest, BlockBodiesPastTheirRangeFailTheDownload) {
    StageArc();
    const std::string digests = ObjectPath("blockhash");
    const std::string package = ObjectPath("filename");
    struct Case {
        const char* name;
        std::string path;
        std::function<void(Reply&)> spoil;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"digest list without end", digests,
         [](Reply& reply) { reply = Endless(ContentEncoding::None, "[\"0\", "); },
         "Cannot download blockhash file"},
        {"206 block past its range", package, [](Reply& reply) { reply.body += "tail"; },
         "Error during downloading archive"},
        {"gzip block of zeros without end", package,
         [](Reply& reply) { reply = Endless(ContentEncoding::Gzip); },
         "Error during downloading archive"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mServer.SetHook([&c](const RecordedRequest& request, Reply& reply) {
            if (request.path == c.path) c.spoil(reply);
        });
        const LaunchResult result = Launch();
        EXPECT_EQ(Message(result), "Setup launcher: " + c.message + "\n");
        EXPECT_NE(result.log.find("failed: the body is longer than"), std::string::npos);
        EXPECT_FALSE(fs::exists(ExtractionFolder()));
    }
}

TEST_F(HostileLaunchTest, ImageChunkPastItsRangeFailsTheDownload) {
    StageImage();
    const std::string image = ObjectPath("filename");
    mServer.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.path == image && reply.status == 206) reply.body += "tail";
    });
    const LaunchResult result = Launch();
    EXPECT_EQ(Message(result), "Setup launcher: Error during downloading archive\n");
    EXPECT_NE(result.log.find("failed: the body is longer than 300000 bytes"), std::string::npos);
}

TEST_F(HostileLaunchTest, UsageInsertWhoseAnswerNeverEndsHoldsNothingUp) {
    StageArc();
    mTable.SetHook([](const RecordedRequest&, Reply& reply) {
        reply = Endless(ContentEncoding::None, "{\"odata.metadata\": 1}");
        reply.status = 201;
    });
    const LaunchResult result = Launch();
    EXPECT_EQ(Message(result), "");
    EXPECT_EQ(ReadFileBytes(ExtractionFolder() / "content.bin"), NoiseBytes(10000));
    EXPECT_EQ(mTable.RequestCount(), 2u) << "begin and success, each sent once";
}

TEST_F(HostileLaunchTest, JunkAfterABodyDoesNotPoisonTheNextRequest) {
    StageArc();
    const std::string index = "/" + Product() + "-v2/index";
    mServer.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.path == index)
            reply.junkAfterBody = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\njunk";
    });
    const LaunchResult result = Launch();
    EXPECT_EQ(Message(result), "");
    EXPECT_EQ(ReadFileBytes(ExtractionFolder() / "content.bin"), NoiseBytes(10000));
}

TEST_F(HostileLaunchTest, RedirectedDownloadsArriveWithTheirRanges) {
    StageArc();
    ScriptedServer mirror;
    const std::string package = ObjectPath("filename");
    const std::string digests = ObjectPath("blockhash");
    for (const std::string& path : {package, digests})
        mirror.PutObject(path.substr(1), ReadFileBytes(mDir.path() / "staging" / path.substr(1)));
    mServer.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.path == package || request.path == digests) {
            reply = Reply::Status(request.path == package ? 307 : 302);
            reply.headers.emplace_back("Location", mirror.Endpoint() + request.path);
        }
    });
    const LaunchResult result = Launch();
    EXPECT_EQ(Message(result), "");
    EXPECT_EQ(ReadFileBytes(ExtractionFolder() / "content.bin"), NoiseBytes(10000));
    int ranges = 0;
    for (const auto& request : mirror.Requests()) ranges += request.Header("Range") ? 1 : 0;
    EXPECT_EQ(ranges, 3) << "three blocks";
}

// An override of another scheme ends the launch before its first request, and never falls back
// to the built-in store.
TEST_F(HostileLaunchTest, PlainHttpEndpointOverrideEndsTheLaunchBeforeAnyRequest) {
    StageArc();
    ScriptedServer plain(ScriptedServer::Options{.secure = false});
    for (const std::string variable :
         {"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", "SETUP_LAUNCHER_TABLE_ENDPOINT"}) {
        SCOPED_TRACE(variable);
        LauncherSandbox::Environment environment = {
            {"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", mServer.Endpoint()},
            {"SETUP_LAUNCHER_TABLE_ENDPOINT", mTable.Endpoint()}};
        environment[variable] = plain.Endpoint();
        const LaunchResult result = mSandbox.Launch("\ny\n\n", environment);
        const std::string message = variable + " \"" + plain.Endpoint() +
                                    "\" is no https://host[:port]; the stores are reached "
                                    "over HTTPS only";
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(Message(result), "Setup launcher: " + message + "\n");
        EXPECT_NE(result.log.find("throwing DownloadException(" + message + ")"), std::string::npos)
            << result.log;
        EXPECT_EQ(result.out, "") << "no dialog before the refusal";
    }
    EXPECT_EQ(plain.RequestCount(), 0u);
    EXPECT_EQ(mServer.RequestCount(), 0u);
    EXPECT_EQ(mTable.RequestCount(), 0u);
}

TEST_F(HostileLaunchTest, RedirectToPlainHttpIsRefused) {
    StageArc();
    ScriptedServer plain(ScriptedServer::Options{.secure = false});
    const std::string package = ObjectPath("filename");
    mServer.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.path == package) {
            reply = Reply::Status(302);
            reply.headers.emplace_back("Location", plain.Endpoint() + request.path);
        }
    });
    const LaunchResult result = Launch();
    EXPECT_EQ(Message(result), "Setup launcher: Error during downloading archive\n");
    EXPECT_NE(result.log.find("redirect to a location that is not HTTPS: " + plain.Endpoint()),
              std::string::npos)
        << result.log;
    EXPECT_EQ(plain.RequestCount(), 0u);
}

// Publishes a package whose arcinfo.json is the given text (with $HASH standing for its one
// content member) and expects the unpack to fail for the reason, leaving the package and nothing
// in the extraction folder.
void ExpectUnpackFailure(HostileLaunchTest& test, const std::string& arcInfo,
                         const std::string& reason);

TEST_F(HostileLaunchTest, DestinationDeeperThanAnyPathFailsBeforeAnythingIsWritten) {
    std::string deep;
    for (int i = 0; i < 40000; ++i) deep += "a/";
    ExpectUnpackFailure(
        *this, "[{\"hash\": \"$HASH\", \"dst\": [\"ok.txt\", \"" + deep + "f\"]}]",
        "the destination of entry 1 (80001 characters) is longer than a path may be");
}

TEST_F(HostileLaunchTest, DescriptorTooLargeToReadFailsTheUnpack) {
    ExpectUnpackFailure(*this,
                        "[{\"hash\": \"$HASH\", \"dst\": [\"f\"]}]" + std::string(100 << 20, ' '),
                        "its descriptor arcinfo.json is larger than 16 MiB");
}

void ExpectUnpackFailure(HostileLaunchTest& test, const std::string& arcInfo,
                         const std::string& reason) {
    const fs::path file = test.mDir.path() / "hostile.zip";
    PackageBuilder builder;
    const std::string hash = builder.AddContent("content");
    std::string text = arcInfo;
    text.replace(text.find("$HASH"), 5, hash);
    builder.ArcInfo(text);
    builder.Write(file);
    test.StageArc(file);
    const std::string filename = test.Index()["releases"]["1.0"]["filename"];
    const LaunchResult result = test.Launch();
    EXPECT_EQ(Message(result), "Setup launcher: The package " + filename +
                                   " could not be unpacked: " + reason + "\n");
    EXPECT_TRUE(fs::exists(test.Downloads() / filename)) << "the package stays";
    EXPECT_TRUE(!fs::exists(test.ExtractionFolder()) || fs::is_empty(test.ExtractionFolder()));
}

// Someone who can write into the destination plants a link where the launcher puts its own file or
// folder, pointing outside: the launch ends with the link named, and what lies behind it keeps
// every byte and gains none.
TEST_F(HostileLaunchTest, PlantedLinksEndTheLaunchAndReachNothingOutside) {
    StageArc();
    const std::string filename = Index()["releases"]["1.0"]["filename"];
    const fs::path outside = mDir.path() / "outside";
    struct Case {
        const char* name;
        fs::path link;
        fs::path target;
    };
    const Case cases[] = {
        {"release file", Downloads() / filename, outside / "document.txt"},
        {"extraction folder", ExtractionFolder(), outside},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(outside);
        fs::remove_all(Downloads());
        fs::create_directories(outside / "work");
        WriteFileBytes(outside / "document.txt", "the user's document");
        WriteFileBytes(outside / "work" / "notes.txt", "notes");
        fs::create_directories(Downloads());
        fs::create_symlink(c.target, c.link);

        const LaunchResult result = Launch();

        EXPECT_EQ(Message(result), "Setup launcher: \"" + c.link.string() +
                                       "\" is a link: the launcher follows no link below the "
                                       "destination\n");
        EXPECT_EQ(ReadFileBytes(outside / "document.txt"), "the user's document");
        EXPECT_EQ(ReadFileBytes(outside / "work" / "notes.txt"), "notes");
        std::size_t entries = 0;
        for (const auto& entry : fs::recursive_directory_iterator(outside)) {
            (void)entry;
            ++entries;
        }
        EXPECT_EQ(entries, 3u) << "nothing was added behind the link";
        EXPECT_TRUE(fs::is_symlink(c.link));
    }
}

TEST_F(HostileLaunchTest, ControlCharactersFromTheNetworkReachTheTerminalEscaped) {
    StageArc();
    nlohmann::json index = Index();
    nlohmann::json& release = Release(index);
    release["release"] = "Release \x1b]0;owned\x07 1.0";
    nlohmann::json edition = release;
    edition["filename"] = "bad/\x1b[2Jname.zip";
    release["languages"]["de\x1b[31m-DE"] = edition;
    SetIndex(index);
    // Language 1, then the usual answers: the edition's file name is refused.
    const LaunchResult result = Launch("1\n\ny\n\n");
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find('\x07'), std::string::npos);
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("1) Release \\x1B]0;owned\\x07 1.0\n"), std::string::npos);
    EXPECT_NE(result.out.find("1) de\\x1B[31m-DE\n"), std::string::npos);
    EXPECT_EQ(Message(result), "Setup launcher: " + Product() +
                                   ": refusing the file name \"bad/\\x1B[2Jname.zip\" from the "
                                   "release index: it is no plain file name\n");
    EXPECT_NE(result.log.find("\"bad/\x1b[2Jname.zip\""), std::string::npos)
        << "the log keeps the text as it came";
}

}  // namespace
