#pragma once
// Child processes of the POSIX edition: finding a tool on PATH, starting a program detached, and
// running a helper tool to its end.
#include <optional>
#include <string>
#include <vector>

// The full path of an executable file found on PATH; empty when there is none.
std::string FindProgramOnPath(const std::string& name);

// Starts argv[0] (a path) with the given arguments so that it is no child of the launcher: it
// runs in its own session, reads nothing from the launcher's input, and the launcher neither
// waits for it nor leaves a zombie behind. False when no process could be created.
bool SpawnDetached(const std::vector<std::string>& argv);

// Runs argv[0] (a path) to its end with no input and its errors discarded; its standard output,
// or nothing when it could not be started or did not exit with status 0.
std::optional<std::string> RunAndCapture(const std::vector<std::string>& argv);
