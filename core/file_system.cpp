#include "core/file_system.h"

#include <vector>

#include "core/text_conversion.h"

std::u16string NormalizeSeparators(std::u16string path) {
    for (char16_t& unit : path) {
        if (unit == kForeignSeparator) {
            unit = kPathSeparator;
        }
    }
    return path;
}

std::u16string AsDirectoryPath(const std::u16string& path) {
    std::u16string result = NormalizeSeparators(path);
    if (!result.empty() && result.back() != kPathSeparator) {
        result.push_back(kPathSeparator);
    }
    return result;
}

std::vector<std::u16string> ParentDirectoryPrefixes(const std::u16string& filePath) {
    std::u16string path = NormalizeSeparators(filePath);
    std::vector<std::u16string> components;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(kPathSeparator, start);
        if (end == std::u16string::npos) {
            components.push_back(path.substr(start));
            break;
        }
        components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    // A path that starts with a separator is rooted: its prefixes keep the root instead of
    // coming out relative. The root itself is never asked for.
    const std::u16string root(1, kPathSeparator);
    bool rooted = !path.empty() && path.front() == kPathSeparator;
    std::u16string prefix = rooted ? root : std::u16string();
    std::vector<std::u16string> prefixes;
    for (std::size_t i = rooted ? 1 : 0; i < components.size(); ++i) {
        if (!prefix.empty() && prefix != root) {
            prefix.push_back(kPathSeparator);
        }
        prefix += components[i];
        if (!prefix.empty() && prefix != root && prefix.back() != u':') {
            prefixes.push_back(prefix);
        }
    }
    if (!prefixes.empty()) {
        prefixes.pop_back();  // the file itself
    }
    return prefixes;
}

void CreateParentDirectories(const std::u16string& filePath, MadeFolders& made) {
    for (const std::u16string& prefix : ParentDirectoryPrefixes(filePath)) {
        if (made.insert(prefix).second) {
            // An existing folder is the common case; a real failure shows when the file is
            // written.
            CreateDirectoryOnce(prefix);
        }
    }
}

void CreateParentDirectories(const std::u16string& filePath) {
    MadeFolders made;
    CreateParentDirectories(filePath, made);
}

std::uint64_t FileSizeOrZero(const std::u16string& path) {
    const std::unique_ptr<ReadOnlyFile> file = ReadOnlyFile::Open(path);
    return file ? file->Size() : 0;
}

bool CopyFileOver(const std::u16string& from, const std::u16string& to) {
    return CopyFileInto(from, CreateFileForWriting(to));
}

bool CopyFileInto(const std::u16string& from, std::FILE* target) {
    if (target == nullptr) {
        return false;
    }
    const std::unique_ptr<ReadOnlyFile> source = ReadOnlyFile::Open(from);
    std::vector<char> buffer(1048576);
    std::uint64_t offset = 0;
    bool written = source != nullptr;
    while (written) {
        const std::size_t got = source->ReadAt(offset, buffer.data(), buffer.size());
        if (got == 0) {
            break;
        }
        written = std::fwrite(buffer.data(), 1, got, target) == got;
        offset += got;
    }
    const bool closed = std::fclose(target) == 0;
    return written && closed && offset == source->Size();
}

std::string LinkRefusal(const std::u16string& path) {
    std::u16string shown = path;
    while (shown.size() > 1 &&
           (shown.back() == kPathSeparator || shown.back() == kForeignSeparator)) {
        shown.pop_back();
    }
    return "\"" + ToUtf8(shown) +
           "\" is a link: the launcher follows no link below the destination";
}

bool IsContainedRelativePath(const std::u16string& path) {
    if (path.empty() || path.front() == u'/' || path.front() == u'\\') {
        return false;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(u"/\\", start);
        if (end == std::u16string::npos) {
            end = path.size();
        }
        std::u16string_view component(path.data() + start, end - start);
        if (component == u"..") {
            return false;
        }
        start = end + 1;
    }
    // A drive ("C:"), a stream name or a NUL never belongs in a relative path.
    return path.find(u':') == std::u16string::npos &&
           path.find(char16_t(0)) == std::u16string::npos;
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    return name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}
