#pragma once
// The machine's bitness: a fact about the system the launcher runs on, which the package's
// descriptors and the usage events both need.

// True when the machine runs a 64-bit system (the launcher is a 32-bit program on Windows).
bool IsRunningOnWow64();
