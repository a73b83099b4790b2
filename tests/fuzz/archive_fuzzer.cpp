// An arbitrary zip as a package: its two descriptors are read, the start command is chosen, and
// its entries are unpacked into a scratch folder. Nothing may land outside that folder.
#include <unistd.h>
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "core/file_system.h"
#include "core/text_conversion.h"
#include "install/archive_descriptors.h"
#include "install/archive_extraction.h"
#include "ui/progress_estimate.h"

namespace fs = std::filesystem;

namespace {

struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};

// A sandbox per process: <tmp>/archive-fuzzer-<pid>/ holding only the extraction folder "x".
const fs::path& Sandbox() {
    static const fs::path sandbox = [] {
        fs::path path = fs::temp_directory_path() / ("archive-fuzzer-" + std::to_string(getpid()));
        fs::create_directories(path);
        return path;
    }();
    return sandbox;
}

// Whether everything under the sandbox is inside the extraction folder and no link was made.
bool OnlyInsideTheFolder(const fs::path& sandbox) {
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(sandbox, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path relative = it->path().lexically_relative(sandbox);
        if (relative.empty() || *relative.begin() != "x") return false;
        if (it->is_symlink()) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
    if (!source) return 0;
    std::unique_ptr<zip_t, ArchiveCloser> archive(zip_open_from_source(source, ZIP_RDONLY, &error));
    zip_error_fini(&error);
    if (!archive) {
        zip_source_free(source);
        return 0;
    }
    const std::vector<StartCommand> commands = ReadStartCommands(archive.get());
    FindStartCommand(commands, "*", "x64");
    IsDescriptorTooLarge(archive.get(), "arcinfo.json");
    const std::vector<ArcInfoEntry> entries = ReadArcInfo(archive.get());

    const fs::path& sandbox = Sandbox();
    const std::u16string folder = AsDirectoryPath(ToUtf16((sandbox / "x").string()));
    ExtractionProgress progress;  // never shown
    ExtractAllEntries(folder, entries, archive.get(), progress);
    if (!OnlyInsideTheFolder(sandbox)) std::abort();
    std::error_code ignored;
    fs::remove_all(sandbox / "x", ignored);
    return 0;
}
