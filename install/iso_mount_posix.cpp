#include <fstream>
#include <optional>
#include <sstream>

#include "core/text_conversion.h"
#include "install/child_process.h"
#include "install/iso_mount.h"
#include "install/setup_process.h"

namespace {

bool IsOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

// Mount tables write space, tab, newline and backslash in names as "\" and three octal digits.
std::string DecodeMountField(std::string_view field) {
    std::string decoded;
    decoded.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctalDigit(field[i + 1]) &&
            IsOctalDigit(field[i + 2]) && IsOctalDigit(field[i + 3])) {
            decoded.push_back(static_cast<char>((field[i + 1] - '0') * 64 +
                                                (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
        } else {
            decoded.push_back(field[i]);
        }
    }
    return decoded;
}

std::optional<std::string> ReadWholeFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::u16string> ListMountPoints() {
    if (const std::optional<std::string> table = ReadWholeFile("/proc/self/mountinfo")) {
        return ParseMountPoints(*table, 4);
    }
    if (const std::optional<std::string> table = ReadWholeFile("/proc/mounts")) {
        return ParseMountPoints(*table, 1);
    }
    return {};
}

// "Mapped file <image> as /dev/loop7." gives "/dev/loop7".
std::string LoopDeviceOf(const std::string& answer) {
    const std::string marker = " as /dev/";
    const std::size_t at = answer.rfind(marker);
    if (at == std::string::npos) {
        return {};
    }
    std::string device = answer.substr(at + 4);
    while (!device.empty() && (device.back() == '\n' || device.back() == '.' ||
                               device.back() == '\r' || device.back() == ' ')) {
        device.pop_back();
    }
    return device;
}

void AttachReadOnly(const std::u16string& image) {
    const std::string tool = FindProgramOnPath("udisksctl");
    if (tool.empty()) {
        return;
    }
    const std::optional<std::string> answer =
        RunAndCapture({tool, "loop-setup", "--read-only", "-f", ToUtf8(image)});
    if (!answer) {
        return;
    }
    // A desktop may mount the new device by itself; asking again is harmless then.
    if (const std::string device = LoopDeviceOf(*answer); !device.empty()) {
        RunAndCapture({tool, "mount", "-b", device});
    }
}

}  // namespace

std::vector<std::u16string> ParseMountPoints(std::string_view table, std::size_t field) {
    std::vector<std::u16string> mountPoints;
    std::size_t lineStart = 0;
    while (lineStart < table.size()) {
        std::size_t lineEnd = table.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) {
            lineEnd = table.size();
        }
        const std::string_view line = table.substr(lineStart, lineEnd - lineStart);
        std::size_t fieldStart = 0;
        for (std::size_t skipped = 0; skipped < field && fieldStart != std::string_view::npos;
             ++skipped) {
            fieldStart = line.find(' ', fieldStart);
            if (fieldStart != std::string_view::npos) {
                ++fieldStart;
            }
        }
        if (fieldStart != std::string_view::npos && fieldStart < line.size()) {
            const std::size_t fieldEnd = line.find(' ', fieldStart);
            const std::string_view value =
                line.substr(fieldStart, fieldEnd == std::string_view::npos ? std::string_view::npos
                                                                           : fieldEnd - fieldStart);
            if (!value.empty()) {
                mountPoints.push_back(ToUtf16(DecodeMountField(value)));
            }
        }
        lineStart = lineEnd + 1;
    }
    return mountPoints;
}

ImageMountPlatform PlatformImageMount() {
    return ImageMountPlatform{ListMountPoints, AttachReadOnly, OpenInFileBrowser};
}
