#include <sys/stat.h>

#include "core/text_conversion.h"
#include "install/child_process.h"
#include "install/setup_process.h"

void StartProcess(const std::u16string& path) {
    const std::string file = ToUtf8(path);
    struct stat info {};
    if (stat(file.c_str(), &info) != 0) {
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        OpenInFileBrowser(path);
        return;
    }
    if (!S_ISREG(info.st_mode)) {
        return;
    }
    // Zip packages carry no dependable permission bits (they are often packed on Windows), and the
    // package has been verified by its digests: the program to start is made executable for
    // everyone who may read it, rather than guessing an interpreter for it.
    if ((info.st_mode & S_IXUSR) == 0) {
        mode_t mode = info.st_mode | S_IXUSR;
        if ((info.st_mode & S_IRGRP) != 0) {
            mode |= S_IXGRP;
        }
        if ((info.st_mode & S_IROTH) != 0) {
            mode |= S_IXOTH;
        }
        chmod(file.c_str(), mode & 07777);
    }
    SpawnDetached({file});
}

void OpenInFileBrowser(const std::u16string& path) {
    const std::string opener = FindProgramOnPath("xdg-open");
    if (!opener.empty()) {
        SpawnDetached({opener, ToUtf8(path)});
    }
}
