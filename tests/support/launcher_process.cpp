#include "support/launcher_process.h"

#include <sys/wait.h>

#include <cstdlib>

namespace {
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}
}  // namespace

LauncherSandbox::LauncherSandbox(const std::string& product, const std::filesystem::path& binary) {
    std::filesystem::create_directories(mDir.path() / "bin");
    std::filesystem::create_directories(mDir.path() / "tmp");
    std::filesystem::create_directories(home());
    mLauncher = mDir.path() / "bin" / (product + ".run");
    std::filesystem::copy_file(binary, mLauncher);
}

LaunchResult LauncherSandbox::Launch(const std::string& answers, const Environment& environment) {
    auto io = mDir.path() / "io";
    std::filesystem::create_directories(io);
    WriteFileBytes(io / "in", answers);
    Environment env = {
        {"HOME", home().string()},          {"TMPDIR", (mDir.path() / "tmp").string()},
        {"XDG_DOWNLOAD_DIR", std::nullopt}, {"LC_ALL", std::nullopt},
        {"LC_MESSAGES", std::nullopt},      {"LANG", "C.UTF-8"},
        {"XDG_STATE_HOME", std::nullopt}};
    for (const auto& [name, value] : environment) {
        env[name] = value;
    }
    std::string command = "cd " + Quoted(mDir.path().string()) + " && env";
    // env takes its removals before its assignments.
    for (const auto& [name, value] : env) {
        if (!value) command += " -u " + Quoted(name);
    }
    for (const auto& [name, value] : env) {
        if (value) command += " " + Quoted(name + "=" + *value);
    }
    // A launch that hangs fails its test instead of the whole run.
    command += " timeout 600 " + Quoted(mLauncher.string()) + " <" + Quoted((io / "in").string()) +
               " >" + Quoted((io / "out").string()) + " 2>" + Quoted((io / "err").string());
    int status = std::system(command.c_str());
    LaunchResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFileBytes(io / "out");
    result.err = ReadFileBytes(io / "err");
    result.log = ReadFileBytes(mDir.path() / "tmp" / "CAD-Setup.log");
    return result;
}
