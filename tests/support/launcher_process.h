#pragma once
// Runs the built launcher as a user would: copied to <dir>/bin/<product>.run (the file-name rule
// names the product), with its own HOME (and so its own ~/.local/state) and TMPDIR, answers piped
// to standard input. The store endpoints and the trusted authority come from this process's
// environment unless a launch overrides them.
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "support/test_environment.h"

struct LaunchResult {
    int exitCode = -1;
    std::string out;  // the questions
    std::string err;  // progress and the message box
    std::string log;  // CAD-Setup.log after the launch
};

class LauncherSandbox {
  public:
    // binary: the launcher build to copy; by default the one with an empty index key list.
    explicit LauncherSandbox(const std::string& product,
                             const std::filesystem::path& binary = SETUP_LAUNCHER_BINARY);

    // Environment for the launch: a value sets, nullopt removes.
    using Environment = std::map<std::string, std::optional<std::string>>;
    LaunchResult Launch(const std::string& answers, const Environment& environment = {});

    const std::filesystem::path& root() const { return mDir.path(); }
    std::filesystem::path home() const { return mDir.path() / "home"; }
    std::filesystem::path downloads() const { return home() / "Downloads"; }
    std::filesystem::path launcher() const { return mLauncher; }

  private:
    TempDir mDir;
    std::filesystem::path mLauncher;
};
