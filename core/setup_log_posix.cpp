#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "core/unique_fd.h"

std::u16string LogFilePath() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    if (folder.back() != '/') {
        folder += '/';
    }
    return ToUtf16(folder + "CAD-Setup.log");
}

void AppendLogLine(const std::u16string& path, const std::string& record, bool checkSize) {
    std::string file = ToUtf8(path);
    struct stat info {};
    if (checkSize && ::stat(file.c_str(), &info) == 0 &&
        static_cast<std::uint64_t>(info.st_size) > kLogSizeLimit) {
        ::unlink(file.c_str());
    }
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (fd.Get() < 0) {
        return;
    }
    // One write per record, so records of other processes never interleave inside a line.
    std::string line = record + "\r\n";
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(fd.Get(), data, left);
        if (written <= 0) {
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}
