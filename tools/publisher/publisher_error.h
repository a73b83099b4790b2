#pragma once
// The tool's one failure type: its message is shown to the publisher as it is, after
// "setup-publisher: ", and the program ends with exit code 1.
#include <stdexcept>
#include <string>

class PublisherError : public std::runtime_error {
  public:
    explicit PublisherError(const std::string& message) : std::runtime_error(message) {}
};
