#include "ui/terminal/terminal_prompts.h"

#include <cctype>
#include <istream>
#include <ostream>

std::optional<std::string> ReadAnswer(std::istream& in) {
    std::string line;
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::size_t begin = line.find_first_not_of(" \t");
    std::size_t end = line.find_last_not_of(" \t");
    return begin == std::string::npos ? std::string() : line.substr(begin, end - begin + 1);
}

std::optional<int> AskNumber(std::istream& in, std::ostream& out, const std::string& prompt,
                             int preselected, int count) {
    for (;;) {
        out << prompt << " [" << preselected << "]: " << std::flush;
        std::optional<std::string> answer = ReadAnswer(in);
        if (!answer) {
            return std::nullopt;
        }
        if (answer->empty()) {
            return preselected;
        }
        if (answer->find_first_not_of("0123456789") == std::string::npos && answer->size() < 6) {
            int value = std::stoi(*answer);
            if (value >= 1 && value <= count) {
                return value;
            }
        }
        out << "Bitte eine Zahl von 1 bis " << count
            << " eingeben / Please enter a number from 1 to " << count << "\n";
    }
}

std::optional<bool> AskYesNo(std::istream& in, std::ostream& out, const std::string& prompt,
                             bool defaultYes) {
    for (;;) {
        out << prompt << (defaultYes ? " [Y/n]: " : " [y/N]: ") << std::flush;
        std::optional<std::string> answer = ReadAnswer(in);
        if (!answer) {
            return std::nullopt;
        }
        if (answer->empty()) {
            return defaultYes;
        }
        std::string lower;
        for (char c : *answer)
            lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        if (lower == "y" || lower == "yes" || lower == "j" || lower == "ja") {
            return true;
        }
        if (lower == "n" || lower == "no" || lower == "nein") {
            return false;
        }
        out << "Bitte j/y oder n eingeben / Please answer y or n\n";
    }
}
