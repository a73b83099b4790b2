// A launcher killed in the middle of a download leaves its verified blocks behind; the next launch
// checks them, fetches only from the interrupted block on, and finishes with a verified package.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/hash_context.h"
#include "support/launcher_process.h"
#include "support/package_builder.h"
#include "support/scripted_server.h"
#include "support/test_environment.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {
constexpr char kProduct[] = "resumer";
constexpr char kPackagePath[] = "/resumer-files/resumer-1.0.zip";
constexpr std::uint64_t kBlock = 65536;
// Keep the destination, download only, OK.
constexpr char kAnswers[] = "\ny\n\n";

std::string DigestList(const std::string& data) {
    std::string json = "[";
    for (std::size_t at = 0; at < data.size(); at += kBlock) {
        json += (at == 0 ? "\"" : ",\"") + Md5Hex(std::string_view(data).substr(at, kBlock)) + "\"";
    }
    return json + "]";
}

std::uint64_t FileSize(const fs::path& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

// The sandbox's launcher started with its environment, answers from a file and its output into
// files of the given folder; the test may kill it or wait for its end.
class LauncherRun {
  public:
    LauncherRun(const LauncherSandbox& sandbox, const std::map<std::string, std::string>& overrides,
                const fs::path& io)
        : mIo(io) {
        std::map<std::string, std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string text = *entry;
            std::size_t equals = text.find('=');
            if (equals != std::string::npos) env[text.substr(0, equals)] = text.substr(equals + 1);
        }
        for (const char* name : {"XDG_DOWNLOAD_DIR", "LC_ALL", "LC_MESSAGES"}) env.erase(name);
        env["HOME"] = sandbox.home().string();
        env["TMPDIR"] = (sandbox.root() / "tmp").string();
        env["LANG"] = "C.UTF-8";
        for (const auto& [name, value] : overrides) env[name] = value;
        std::vector<std::string> texts;
        for (const auto& [name, value] : env) texts.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (std::string& text : texts) envp.push_back(text.data());
        envp.push_back(nullptr);

        fs::create_directories(io);
        WriteFileBytes(io / "in", kAnswers);
        std::string program = sandbox.launcher().string();
        std::vector<char*> argv{program.data(), nullptr};

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, sandbox.root().c_str());
        posix_spawn_file_actions_addopen(&actions, 0, (io / "in").c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (io / "out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (io / "err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&mPid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            mPid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    ~LauncherRun() {
        if (mPid > 0) Kill();
    }
    LauncherRun(const LauncherRun&) = delete;
    LauncherRun& operator=(const LauncherRun&) = delete;

    bool Started() const { return mPid > 0; }

    // SIGKILL, then waits for the end; true when the signal ended the process.
    bool Kill() {
        ::kill(mPid, SIGKILL);
        int status = 0;
        pid_t ended = ::waitpid(mPid, &status, 0);
        mPid = -1;
        return ended > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

    // Waits for the end; the exit code, -1 when the process did not exit by itself.
    int Wait() {
        int status = 0;
        pid_t ended = ::waitpid(mPid, &status, 0);
        mPid = -1;
        return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Err() const { return ReadFileBytes(mIo / "err"); }

  private:
    fs::path mIo;
    pid_t mPid = -1;
};

TEST(DownloadResumeTest, KilledLaunchIsContinuedFromTheInterruptedBlock) {
    ScriptedServer server;
    LauncherSandbox sandbox(kProduct);

    // A package whose content fills many blocks; the launcher only downloads and unpacks it.
    const std::string payload = NoiseBytes(1000000);
    PackageBuilder builder;
    const std::string member = builder.AddContent(payload);
    builder.ArcInfo(R"([{"hash":")" + member + R"(","dst":["data/payload.bin"]}])")
        .ArcConfig(R"({"startCommands":[]})")
        .Stored()
        .Write(sandbox.root() / "package.zip");
    const std::string package = ReadFileBytes(sandbox.root() / "package.zip");
    const std::uint64_t blocks = (package.size() + kBlock - 1) / kBlock;
    ASSERT_GE(blocks, 10u);
    const std::uint64_t interrupted = blocks / 2;

    server.PutObject("resumer-files/resumer-1.0.zip", package);
    server.PutObject("resumer-files/resumer-1.0.blocks", DigestList(package));
    server.PutObject("resumer-v2/index",
                     R"({"current_release":"1.0","releases":{"1.0":{)"
                     R"("release":"Resumer 1.0","containername":"resumer-files",)"
                     R"("required_setup":5,"filetype":"arc",)"
                     R"("filename":"resumer-1.0.zip","hash":")" +
                         Sha256Of(package) + R"(","filesize":)" + std::to_string(package.size()) +
                         R"(,"blockhash":"resumer-1.0.blocks","blocksize":)" +
                         std::to_string(kBlock) + "}}}");
    const std::string interruptedRange = "bytes=" + std::to_string(interrupted * kBlock) + "-" +
                                         std::to_string((interrupted + 1) * kBlock - 1);

    // Usage events are accepted; the interrupted block trickles out until the launcher is killed.
    const fs::path local = sandbox.downloads() / "resumer-1.0.zip";
    std::atomic<bool> reached{false};
    server.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.method == "POST") {
            reply = Reply::Status(204);
        } else if (request.Header("Range") == interruptedRange && !reached) {
            reply.throttleChunk = 1024;
            reply.throttleDelay = std::chrono::milliseconds(200);
            reached = true;
        }
    });
    const std::map<std::string, std::string> environment{
        {"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", server.Endpoint()},
        {"SETUP_LAUNCHER_TABLE_ENDPOINT", server.Endpoint()},
        {"SETUP_LAUNCHER_CA_FILE", TestPki::Shared().CaFile()},
    };
    {
        LauncherRun first(sandbox, environment, sandbox.root() / "first");
        ASSERT_TRUE(first.Started());
        for (int wait = 0; wait < 3000 && !reached; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(reached) << first.Err();
        // The block before the interrupted one is written beside its transfer: give the worker
        // the moment it needs before the launcher dies.
        for (int wait = 0; wait < 250 && FileSize(local) < interrupted * kBlock; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(first.Kill());
    }
    EXPECT_EQ(ReadFileBytes(local), package.substr(0, interrupted * kBlock))
        << "the blocks before the interrupted one are on disk";

    // Whatever the killed launch had unpacked beside its download is never used: the next launch
    // starts its staging folder afresh and leaves none behind.
    const fs::path staging = sandbox.downloads() / ".resumer.1.0.unpacking";
    fs::create_directories(staging / "members");
    WriteFileBytes(staging / "members" / member, "left by the killed launch");

    server.ClearRequests();
    server.SetHook([](const RecordedRequest& request, Reply& reply) {
        if (request.method == "POST") reply = Reply::Status(204);
    });
    LauncherRun second(sandbox, environment, sandbox.root() / "second");
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(second.Wait(), 0);
    const std::string err = second.Err();
    const std::string log = ReadFileBytes(sandbox.root() / "tmp" / "CAD-Setup.log");
    EXPECT_EQ(err.find("Setup launcher:"), std::string::npos) << err;
    EXPECT_EQ(log.find("throwing"), std::string::npos) << log;
    // Besides the blocks, the unpacking that runs beside the download asks once for the package's
    // end (its central directory), a range that starts inside a block and reaches the last byte.
    const std::string end = "-" + std::to_string(package.size() - 1);
    std::vector<std::string> ranges;
    int endRequests = 0;
    for (const RecordedRequest& request : server.Requests()) {
        if (request.path != kPackagePath) continue;
        const std::string range = request.Header("Range").value_or("");
        const std::uint64_t first = std::stoull(range.substr(std::string("bytes=").size()));
        if (range.ends_with(end) && first % kBlock != 0) {
            ++endRequests;
            continue;
        }
        ranges.push_back(range);
    }
    EXPECT_EQ(endRequests, 1);
    std::vector<std::string> expected;
    for (std::uint64_t block = interrupted; block < blocks; ++block) {
        expected.push_back("bytes=" + std::to_string(block * kBlock) + "-" +
                           std::to_string(std::min((block + 1) * kBlock, package.size()) - 1));
    }
    // Over several connections the requests leave in file order but may arrive in any order, and
    // a request whose connection failed is sent again: what counts is which blocks were asked for,
    // exactly those from the interrupted one on.
    std::sort(ranges.begin(), ranges.end());
    ranges.erase(std::unique(ranges.begin(), ranges.end()), ranges.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ranges, expected);
    // The package passed its digest and was unpacked with every member verified.
    EXPECT_TRUE(ReadFileBytes(sandbox.downloads() / "resumer.1.0" / "data" / "payload.bin") ==
                payload);
    // It was unpacked beside the download (the kept half at once), and no staging folder is left.
    EXPECT_EQ(log.find("after its download"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(staging));
    // The progress display started with the verified half already counted.
    EXPECT_NE(err.find("Fortschritt / Progress (download) ["), std::string::npos) << err;
}
}  // namespace
