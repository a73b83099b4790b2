#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/release_index.h"

// Ordering number of a release key: the dot-separated parts folded as value * 10 + part.
std::int64_t ReleaseVersionNumber(const std::string& key);

// The releases offered for a catalogue: the current one first, then the older ones in name order
// (none when "forbid_release_selection" is present and not null).
std::vector<ReleaseChoice> OfferedReleases(const ProductCatalog& catalog);

// Reads the chosen release (or, with a language code, that language edition) into a selection.
// Download-only and the destination are the dialog's and stay as they are.
SetupSelection ReadSetupSelection(const ProductCatalog& catalog, const std::string& product,
                                  const std::string& releaseKey, const std::string& languageCode);
