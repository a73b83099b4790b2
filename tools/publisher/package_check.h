#pragma once
// Checks an "arc" package the way the launcher unpacks it: that it opens, that every member's
// content matches its SHA-256 name, and that arcinfo.json and arcconfig.json parse and fit
// together.
#include <filesystem>

#include "tools/publisher/release_verifier.h"

// Adds what it finds to report's problems and notes and counts the content members.
void CheckPackage(const std::filesystem::path& file, EditionReport& report);
