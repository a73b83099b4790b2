#pragma once
// Text that came from the network, made safe to show: in a message, on a terminal, in a CSV cell or
// in a page.
#include <cstddef>
#include <string>
#include <string_view>

// The text with control characters (C0, DEL, C1), bidirectional overrides and bytes that are no
// UTF-8 written as visible escapes: "\x1b", "\u{202e}". Everything else is kept.
std::string SafeText(std::string_view text);

// At most maxBytes bytes of text, cut before a UTF-8 sequence; "..." marks a cut.
std::string BoundedText(std::string_view text, std::size_t maxBytes);

// The number of characters (UTF-8 code points) of text, for aligning columns.
std::size_t DisplayWidth(std::string_view text);
