#pragma once
// The questions of the terminal edition: one answer a line from standard input, an invalid answer
// gets a short bilingual hint and the same question again, end of input gives nullopt (cancel).
#include <iosfwd>
#include <optional>
#include <string>

// One answer line without surrounding blanks; nullopt at the end of input.
std::optional<std::string> ReadAnswer(std::istream& in);
// Asks for a number from 1 to count; empty keeps preselected (1-based).
std::optional<int> AskNumber(std::istream& in, std::ostream& out, const std::string& prompt,
                             int preselected, int count);
// Asks a yes/no question (y, yes, j, ja / n, no, nein); empty gives the default.
std::optional<bool> AskYesNo(std::istream& in, std::ostream& out, const std::string& prompt,
                             bool defaultYes);
