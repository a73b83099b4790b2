#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "tools/publisher/publisher_error.h"
#include "tools/publisher/temp_file.h"

TempFile::TempFile(const std::string& prefix) {
    const std::string pattern =
        (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int descriptor = mkstemp(name.data());
    if (descriptor < 0) {
        throw PublisherError("cannot create a temporary file like " + pattern);
    }
    close(descriptor);
    mPath = name.data();
}

TempFile::~TempFile() {
    std::error_code error;
    std::filesystem::remove(mPath, error);
}
