// The launcher's archive download on its own, for the benchmark's resume check: the same
// DownloadArchive that a launch runs (digest list, the kept blocks of a partial file checked, the
// missing blocks fetched, the whole file checked, progress display on standard error), without the
// index, the dialogs and the unpacking around it.
//
// download_bench <endpoint> <container> <file name> <digest list name> <block size> <file size>
//                <sha256> <destination folder>
#include <cstdio>
#include <exception>
#include <string>

#include "core/endpoints.h"
#include "core/text_conversion.h"
#include "download/archive_download.h"

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: %s <endpoint> <container> <file name> <digest list name> <block size> "
                     "<file size> <sha256> <destination folder>\n",
                     argv[0]);
        return 2;
    }
    auto endpoint = ParseEndpoint(argv[1]);
    if (!endpoint) {
        std::fprintf(stderr, "download_bench: not an endpoint: %s\n", argv[1]);
        return 2;
    }
    DownloadHost = *endpoint;

    SetupSelection selection;
    selection.containername = argv[2];
    selection.filename = argv[3];
    selection.blockhash = argv[4];
    selection.blocksize = std::stoull(argv[5]);
    selection.filesize = std::stoull(argv[6]);
    selection.hash = argv[7];
    selection.filetype = "arc";
    std::string destination = argv[8];
    if (destination.empty() || destination.back() != '/') {
        destination += '/';
    }
    selection.destination = ToUtf16(destination);
    try {
        DownloadArchive(selection);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "download_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
