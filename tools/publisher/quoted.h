#pragma once
// A name or value from an index or a package, in double quotes, as problems and notes show it.
#include <string>

inline std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}
