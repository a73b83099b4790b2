#include "install/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "core/unique_fd.h"

extern char** environ;

namespace {

// posix_spawn file actions and attributes, destroyed with their scope.
class SpawnSetup {
  public:
    SpawnSetup() {
        mActionsReady = posix_spawn_file_actions_init(&mActions) == 0;
        mAttributesReady = posix_spawnattr_init(&mAttributes) == 0;
    }
    ~SpawnSetup() {
        if (mActionsReady) {
            posix_spawn_file_actions_destroy(&mActions);
        }
        if (mAttributesReady) {
            posix_spawnattr_destroy(&mAttributes);
        }
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool Ready() const { return mActionsReady && mAttributesReady; }
    posix_spawn_file_actions_t* Actions() { return &mActions; }
    posix_spawnattr_t* Attributes() { return &mAttributes; }

  private:
    posix_spawn_file_actions_t mActions;
    posix_spawnattr_t mAttributes;
    bool mActionsReady = false;
    bool mAttributesReady = false;
};

std::vector<char*> ArgumentVector(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    return args;
}

int WaitForChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindProgramOnPath(const std::string& name) {
    const char* pathVariable = std::getenv("PATH");
    const std::string_view path = pathVariable != nullptr ? pathVariable : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        // An empty entry names the current folder.
        const std::string_view folder = end > start ? path.substr(start, end - start) : ".";
        const std::string candidate = std::string(folder) + "/" + name;
        if (IsExecutableFile(candidate)) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

bool SpawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        return false;
    }
    std::vector<char*> args = ArgumentVector(argv);

    // Double fork: the intermediate child starts a new session, forks the program and leaves at
    // once, so the program is adopted by the system instead of staying the launcher's child. Only
    // async-signal-safe calls happen between fork and exec.
    const pid_t intermediate = fork();
    if (intermediate < 0) {
        return false;
    }
    if (intermediate == 0) {
        setsid();
        const pid_t program = fork();
        if (program == 0) {
            struct sigaction defaultAction {};
            defaultAction.sa_handler = SIG_DFL;
            sigaction(SIGPIPE, &defaultAction, nullptr);
            sigaction(SIGCHLD, &defaultAction, nullptr);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            const int input = open("/dev/null", O_RDONLY);
            if (input > 0) {
                dup2(input, 0);
                close(input);
            }
            execv(args[0], args.data());
            _exit(127);
        }
        _exit(program < 0 ? 1 : 0);
    }
    const int status = WaitForChild(intermediate);
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<std::string> RunAndCapture(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        return std::nullopt;
    }
    int ends[2];
    if (pipe(ends) != 0) {
        return std::nullopt;
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    fcntl(readEnd.Get(), F_SETFD, FD_CLOEXEC);

    SpawnSetup setup;
    if (!setup.Ready() ||
        posix_spawn_file_actions_addopen(setup.Actions(), 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_addopen(setup.Actions(), 2, "/dev/null", O_WRONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(setup.Actions(), writeEnd.Get(), 1) != 0 ||
        (writeEnd.Get() != 1 &&
         posix_spawn_file_actions_addclose(setup.Actions(), writeEnd.Get()) != 0)) {
        return std::nullopt;
    }
    std::vector<char*> args = ArgumentVector(argv);
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], setup.Actions(), setup.Attributes(), args.data(), environ) !=
        0) {
        return std::nullopt;
    }
    writeEnd.Reset();

    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(readEnd.Get(), buffer, sizeof buffer);
        if (got > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    readEnd.Reset();
    const int status = WaitForChild(pid);
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return output;
}
