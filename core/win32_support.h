#pragma once
// Small helpers shared by the Win32 halves of the platform layer (only *_win32.cpp, *_wininet.cpp,
// *_cng.cpp and *_crypt32.cpp files include this): UTF-16 texts as wide strings, owners of
// kernel handles and module look-ups of functions that not every Windows has.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <string>
#include <string_view>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 code units");

// The launcher's UTF-16 texts are the same code units as Windows' wide strings.
inline const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline std::u16string FromWide(const wchar_t* text, std::size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}
inline std::u16string FromWide(const wchar_t* text) {
    return text == nullptr ? std::u16string() : FromWide(text, std::wcslen(text));
}

// Owns one kernel handle; both null and INVALID_HANDLE_VALUE count as none.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : mHandle(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    explicit operator bool() const { return mHandle != nullptr && mHandle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return mHandle; }
    // Closes the handle now; false when there was one and closing it failed.
    bool Close() {
        HANDLE handle = mHandle;
        mHandle = nullptr;
        return handle == nullptr || handle == INVALID_HANDLE_VALUE || CloseHandle(handle) != FALSE;
    }
    void Reset() { Close(); }
    // Hands the handle over to the caller, who closes it from now on.
    HANDLE Release() {
        HANDLE handle = mHandle;
        mHandle = nullptr;
        return handle;
    }

  private:
    HANDLE mHandle = nullptr;
};

// A function of an already loaded system module, looked up at run time; nullptr when the module
// or the function is missing.
template <typename Function>
Function LookUpFunction(const wchar_t* module, const char* name) {
    HMODULE handle = GetModuleHandleW(module);
    if (handle == nullptr) {
        return nullptr;
    }
    FARPROC address = GetProcAddress(handle, name);
    // Through the generic function pointer type, which converts to any other without a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// Loads a system DLL from the system folder only, never from the program's folder or the current
// one; nullptr when it is missing there.
inline HMODULE LoadSystemLibrary(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Makes every library the process loads later come from the system folder: the default search
// order becomes that folder alone, and the delay-loaded DLLs (those that are not known DLLs, see
// cmake/delay_imports.cmake) are loaded through LoadSystemLibrary. Called first thing in the
// program, before anything can load a library.
void LoadLibrariesFromSystemFolderOnly();

// A system DLL loaded for the lifetime of the object, from the system folder only.
class SystemLibrary {
  public:
    explicit SystemLibrary(const wchar_t* name) : mModule(LoadSystemLibrary(name)) {}
    ~SystemLibrary() {
        if (mModule != nullptr) {
            FreeLibrary(mModule);
        }
    }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    template <typename Function>
    Function Find(const char* name) const {
        if (mModule == nullptr) {
            return nullptr;
        }
        return reinterpret_cast<Function>(
            reinterpret_cast<void (*)()>(GetProcAddress(mModule, name)));
    }

  private:
    HMODULE mModule;
};
