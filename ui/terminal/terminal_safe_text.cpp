#include <cstdio>

#include "ui/terminal/terminal_dialogs.h"

namespace {
void AppendEscaped(std::string& out, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", value);
    out += text;
}
}  // namespace

std::string TerminalSafe(std::string_view text, bool keepNewlines) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n' && keepNewlines) {
            out += '\n';
        } else if (byte < 0x20 || byte == 0x7F) {
            AppendEscaped(out, byte);
        } else if (byte == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080..U+009F in UTF-8: the C1 controls (CSI, OSC, ...).
            AppendEscaped(out, static_cast<unsigned char>(text[++i]));
        } else if (byte >= 0x80 && byte <= 0x9F) {
            // A lone C1 byte, which terminals in an 8-bit mode take as a control.
            AppendEscaped(out, byte);
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}
