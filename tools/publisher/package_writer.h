#pragma once
// Turns a folder into an "arc" package: every distinct file content stored once under the
// lower-case hex SHA-256 of that content, "arcinfo.json" naming each content's destinations
// (relative paths with "\" separators) and "arcconfig.json" holding the start commands. The same
// input always gives the same bytes: fixed times and attributes, a stable order of entries.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct StartCommandLine {
    std::string language;  // "*", "de" or "en"
    std::string bitness;   // "*", "x64" or "x86"
    std::string command;   // path of the program relative to the extraction folder
};

// Reads the publisher's start-command file: one command a line as "language bitness command"
// (the command is the rest of the line), blank lines and lines starting with "#" ignored.
// Throws PublisherError naming the line of a malformed entry.
std::vector<StartCommandLine> ReadStartCommandFile(const std::filesystem::path& file);
std::vector<StartCommandLine> ParseStartCommands(const std::string& text,
                                                 const std::string& sourceName);

struct PackedContent {
    std::string hash;  // lower-case hex SHA-256
    std::uint64_t size = 0;
    std::vector<std::string> destinations;  // relative, "/" separated, in byte order
    std::filesystem::path source;           // the first file holding this content
    bool executable = false;
};

struct PackSummary {
    std::size_t files = 0;
    std::vector<PackedContent> contents;  // in arcinfo order
    std::uint64_t bytes = 0;              // of all files
    std::uint64_t packageSize = 0;
    std::vector<std::string> notes;  // things the publisher should know, not failures
};

// The arcinfo document for the contents, in their order.
std::string ArcInfoText(const std::vector<PackedContent>& contents);
std::string ArcConfigText(const std::vector<StartCommandLine>& commands);

PackSummary PackFolder(const std::filesystem::path& folder,
                       const std::vector<StartCommandLine>& commands,
                       const std::filesystem::path& output);
