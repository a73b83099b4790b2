#pragma once
// Checks a published product the way a launcher will meet it: the index, and for every release
// and language edition its three objects (file, digest list, index entry) agreeing exactly, and
// for "arc" packages that they open, that every member's content matches its name and that both
// descriptors parse and fit together.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tools/publisher/object_source.h"

struct EditionReport {
    std::string release;   // release key
    std::string language;  // empty for the release's own file
    std::string filetype;
    std::string object;  // container/filename
    std::uint64_t size = 0;
    std::size_t blocks = 0;
    std::size_t members = 0;
    std::vector<std::string> problems;
    std::vector<std::string> notes;
};

struct VerifyReport {
    std::string source;
    std::string index;  // object path of the index
    std::string current;
    std::vector<std::string> problems;  // of the index itself
    std::vector<std::string> notes;
    std::vector<EditionReport> editions;

    std::size_t ProblemCount() const;
};

VerifyReport VerifyProduct(ObjectSource& source, const std::string& product);
void PrintReport(const VerifyReport& report, std::ostream& out);
