#include "tools/publisher/publisher_command.h"

#include <cstdlib>
#include <iostream>

#include "core/safe_text.h"
#include "tools/publisher/publisher_error.h"

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

Endpoint ChooseEndpoint(const std::string& text) {
    if (text.empty()) {
        return ConfiguredDownloadEndpoint();
    }
    const auto endpoint = ParseEndpoint(text);
    if (!endpoint) {
        throw PublisherError("endpoint must look like https://host[:port], not " + SafeText(text));
    }
    return *endpoint;
}

void PrintNotes(const std::vector<std::string>& notes) {
    for (const std::string& note : notes) {
        std::cout << "note: " << note << "\n";
    }
}
