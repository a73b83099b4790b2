#pragma once
// The highest publication sequence of a product's signed release index that this user's launcher
// has accepted, remembered between launches so that an older signed index served again is
// refused. One small file per product in the user's local application data
// (<state>/setup-launcher/index-sequence/<product>), holding the number in decimal.
#include <cstdint>
#include <string>

// The record's path; empty when the environment names no folder for it.
std::u16string AcceptedSequencePath(const std::string& product);

// The remembered number. A missing or unreadable record counts as 0 and is logged: losing it
// only weakens the check until the next accepted index, so it never stops a launch.
std::uint64_t ReadAcceptedSequence(const std::string& product);

// Remembers sequence for the product (folders made as needed, the file replaced atomically);
// a failure is logged and otherwise ignored.
void RememberAcceptedSequence(const std::string& product, std::uint64_t sequence);
