#pragma once
// One verb of setup-publisher: it adds itself and its options to the command line, and runs when
// the user chose it. main() only registers the verbs and reports a failure.
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "core/endpoints.h"

class PublisherCommand {
  public:
    virtual ~PublisherCommand() = default;
    // Adds the verb and its options; returns the verb's own parser.
    virtual CLI::App* Add(CLI::App& app) = 0;
    // Runs the verb; the process's exit code. Throws on failure.
    virtual int Run() = 0;
};

// Exit codes of every verb.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The storage account's credentials for writing verbs, from the environment.
inline constexpr const char* kAccountVariable = "SETUP_PUBLISHER_ACCOUNT";
inline constexpr const char* kAccountKeyVariable = "SETUP_PUBLISHER_ACCOUNT_KEY";

std::string Environment(const char* name);
// The endpoint given on the command line, else the launcher's configured one (with its
// environment override). Throws PublisherError for text that is no endpoint.
Endpoint ChooseEndpoint(const std::string& text);
void PrintNotes(const std::vector<std::string>& notes);

std::unique_ptr<PublisherCommand> MakePackCommand();
std::unique_ptr<PublisherCommand> MakeReleaseCommand();
std::unique_ptr<PublisherCommand> MakeUploadCommand();
std::unique_ptr<PublisherCommand> MakeVerifyCommand();
std::unique_ptr<PublisherCommand> MakeKeygenCommand();
std::unique_ptr<PublisherCommand> MakeReportCommand();
