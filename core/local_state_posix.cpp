#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/local_state.h"
#include "core/text_conversion.h"
#include "core/unique_fd.h"

std::u16string LocalStateFolder() {
    // A relative XDG_STATE_HOME is invalid and ignored, as the base directory rules say.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return ToUtf16(state);
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        return {};
    }
    return ToUtf16(std::string(home) + "/.local/state");
}

bool ReplaceFileAtomically(const std::u16string& path, std::string_view bytes) {
    const std::string target = ToUtf8(path);
    const std::string temporary = target + ".new-" + std::to_string(::getpid());
    UniqueFd fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.Get() < 0) {
        return false;
    }
    bool written = true;
    std::size_t done = 0;
    while (written && done < bytes.size()) {
        const ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
        written = n > 0;
        done += written ? static_cast<std::size_t>(n) : 0;
    }
    written = written && ::fsync(fd.Get()) == 0;
    written = fd.Close() && written;
    if (!written || std::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}
