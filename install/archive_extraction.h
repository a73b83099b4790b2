#pragma once
// Installing an "arc" package: the extraction folder is cleared, every member that "arcinfo.json"
// lists is unpacked to its destinations and checked by its SHA-256 digest, the start command of
// "arcconfig.json" is started (unless download only) and the package is deleted.
#include <zip.h>

#include <functional>
#include <string>
#include <vector>

#include "catalogue/release_index.h"
#include "install/archive_descriptors.h"

class ExtractionProgress;
class MemberWriter;
class UnpackStage;

// Success, or why a step of the extraction failed (in words for the user).
struct ExtractionResult {
    bool ok = true;
    std::string reason;

    static ExtractionResult Success() { return {}; }
    static ExtractionResult Failure(std::string why) { return {false, std::move(why)}; }
    explicit operator bool() const { return ok; }
};

// The downloaded package: destination followed directly by the file name.
std::u16string ArchivePath(const SetupSelection& selection);
// destination + product + "." + release key + separator.
std::u16string ExtractionFolder(const SetupSelection& selection);

// Clears the extraction folder, unpacks and verifies the package, starts its setup (unless
// download only) and deletes the package. Throws ZipException when the package cannot be
// unpacked; the package then stays, and nothing is started. With a stage that unpacked members
// while the package downloaded, the extraction folder is built in the staging folder from them and
// moved into place only once everything is verified; on failure nothing of it stays.
void InstallArchive(SetupSelection selection, UnpackStage* stage = nullptr);

// Opens the package and unpacks it into the folder, timed as "extract"; with a stage whose members
// may be used, through the staging folder (see InstallArchive).
ExtractionResult ExtractArchive(const std::u16string& folder, const SetupSelection& selection,
                                UnpackStage* stage = nullptr);
// Reads "arcinfo.json" and unpacks its entries while a progress window counts them; members that
// the stage already unpacked are moved instead of inflated.
ExtractionResult ExtractWithProgress(zip_t* archive, const std::u16string& folder,
                                     UnpackStage* stage = nullptr);
// Checks every destination, makes all folders, then unpacks the entries in list order with one
// progress step each; stops at the first entry that fails. A worker thread hashes and writes the
// bytes while the next ones are inflated.
ExtractionResult ExtractAllEntries(const std::u16string& folder,
                                   const std::vector<ArcInfoEntry>& entries, zip_t* archive,
                                   ExtractionProgress& progress, UnpackStage* stage = nullptr);
// Unpacks the entry's member to its first destination, checks its digest and copies it to the
// other destinations. A member the stage already unpacked and checked is moved there instead.
ExtractionResult ExtractEntry(const ArcInfoEntry& entry, zip_t* archive,
                              const std::u16string& folder, MemberWriter& writer,
                              UnpackStage* stage = nullptr);
// Streams one member (found by its whole stored name, ASCII case ignored) into the target file
// folder + relative, reached from the folder without following a link; libzip checks its CRC on
// the way; the writer hashes and writes the bytes. digest receives the lower-case hex SHA-256 of
// the bytes written. A partly written file stays on failure.
ExtractionResult ExtractMemberToFile(const std::string& name, zip_t* archive,
                                     const std::u16string& folder, const std::u16string& relative,
                                     MemberWriter& writer, std::string& digest);
// Chooses the start command from the package and starts it; a cancelled language question is
// logged as "user abort" and starts nothing. Throws ZipException when the package cannot be
// opened again or the command leads outside the extraction folder.
void StartArchiveSetup(const std::u16string& folder, const SetupSelection& selection);

// Replaces how the chosen setup is started (tests); an empty function restores StartProcess.
void SetSetupStarter(std::function<void(const std::u16string& path)> starter);
