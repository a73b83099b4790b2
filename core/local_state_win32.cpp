#include <string>

#include "core/local_state.h"
#include "core/text_conversion.h"
#include "core/win32_support.h"

std::u16string LocalStateFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        return {};
    }
    return FromWide(buffer, length);
}

bool ReplaceFileAtomically(const std::u16string& path, std::string_view bytes) {
    const std::u16string temporary =
        path + u".new-" + ToUtf16(std::to_string(GetCurrentProcessId()));
    bool written = false;
    {
        UniqueHandle file(CreateFileW(Wide(temporary), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return false;
        }
        DWORD done = 0;
        written = bytes.size() <= MAXDWORD &&
                  WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                            nullptr) != FALSE &&
                  done == bytes.size() && FlushFileBuffers(file.Get()) != FALSE;
        written = file.Close() && written;
    }
    if (!written || MoveFileExW(Wide(temporary), Wide(path),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE) {
        DeleteFileW(Wide(temporary));
        return false;
    }
    return true;
}
