#pragma once
// Runs the built setup-publisher as a separate process, as a publisher would, and collects its
// exit code and output. Header-only: SETUP_PUBLISHER_BINARY is defined for the test programs.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_environment.h"

struct PublisherRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Runs a program with arguments; it inherits this process's environment (set variables with
// ScopedEnv).
inline PublisherRun RunProgram(const std::string& program,
                               const std::vector<std::string>& arguments) {
    TempDir outputs;
    const auto out = outputs.path() / "out";
    const auto err = outputs.path() / "err";
    std::string command = ShellQuoted(program);
    for (const std::string& argument : arguments) {
        command += " " + ShellQuoted(argument);
    }
    command += " </dev/null >" + ShellQuoted(out.string()) + " 2>" + ShellQuoted(err.string());
    const int status = std::system(command.c_str());
    PublisherRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFileBytes(out);
    run.err = ReadFileBytes(err);
    return run;
}

inline PublisherRun RunPublisher(const std::vector<std::string>& arguments) {
    return RunProgram(SETUP_PUBLISHER_BINARY, arguments);
}
