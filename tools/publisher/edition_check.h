#pragma once
// Checks one file of the index (a release's own file or a language edition) the way the launcher
// downloads it: its name, its digest list, and the file itself against "filesize", "hash" and
// every block's MD5; "arc" packages are then opened and checked as well.
#include <string>

#include "core/json_reader.h"
#include "tools/publisher/object_source.h"
#include "tools/publisher/release_verifier.h"

// edition is the index entry with "filename", "hash", "filesize", "blockhash" and "blocksize";
// report.filetype must already be set. Adds what it finds to report.
void CheckEdition(ObjectSource& source, const std::string& container, const JsonValue& edition,
                  EditionReport& report);
