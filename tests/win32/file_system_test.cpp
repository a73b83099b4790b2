// The file-system helpers and the download target's file operations on Windows paths.
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, whose types it uses.
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/file_system.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "core/win32_support.h"
#include "download/download_target.h"
#include "download/download_worker.h"
#include "install/archive_extraction.h"
#include "win32_test_support.h"

namespace {

HANDLE OpenWithSharing(const std::u16string& path, DWORD share) {
    return CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ | GENERIC_WRITE,
                       share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Makes link a junction to the folder target, as "mklink /J" does; false when the file system
// takes none.
bool MakeJunction(const std::u16string& link, const std::u16string& target) {
    const auto* name = reinterpret_cast<const wchar_t*>(link.c_str());
    if (CreateDirectoryW(name, nullptr) == FALSE) {
        return false;
    }
    HANDLE handle = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // The mount-point form of the reparse data: tag, length, reserved, then the offsets and
    // lengths (in bytes) of the substitute and the print name, both stored with a zero after them.
    const std::u16string substitute = u"\\??\\" + target;
    std::u16string names = substitute + u'\0' + target + u'\0';
    const WORD nameBytes = static_cast<WORD>(names.size() * 2);
    const WORD fields[] = {static_cast<WORD>(8 + nameBytes),
                           0,
                           0,
                           static_cast<WORD>(substitute.size() * 2),
                           static_cast<WORD>((substitute.size() + 1) * 2),
                           static_cast<WORD>(target.size() * 2)};
    std::vector<BYTE> data(sizeof(DWORD) + sizeof fields + nameBytes);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(data.data(), &tag, sizeof tag);
    std::memcpy(data.data() + sizeof tag, fields, sizeof fields);
    std::memcpy(data.data() + sizeof tag + sizeof fields, names.data(), nameBytes);
    DWORD returned = 0;
    const bool made =
        DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(),
                        static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr) != FALSE;
    CloseHandle(handle);
    return made;
}

// Wine before 9 takes no junction, but shows a host's symbolic link to a folder exactly as Windows
// shows a junction: a folder with the reparse-point attribute. There the host makes such a link
// (its ln, started like any program); false when neither way is open.
bool MakeHostLink(const std::u16string& link, const std::u16string& target) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = LookUpFunction<UnixName>(L"kernel32", "wine_get_unix_file_name");
    if (unixName == nullptr) {
        return false;
    }
    const auto hostPath = [unixName](const std::u16string& path) {
        char* name = unixName(reinterpret_cast<const wchar_t*>(path.c_str()));
        const std::string text = name == nullptr ? std::string() : name;
        HeapFree(GetProcessHeap(), 0, name);
        return text;
    };
    const std::string from = hostPath(link);
    const std::string to = hostPath(target);
    if (from.empty() || to.empty()) {
        return false;
    }
    std::u16string command = ToUtf16("/bin/ln -s \"" + to + "\" \"" + from + "\"");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(command.data()), nullptr, nullptr, FALSE,
                       0, nullptr, nullptr, &startup, &process) == FALSE) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // A host program is not waited for through its handle: the link is looked for instead.
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (IsLink(link)) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

// A folder of plain ASCII letters under the temporary folder (the host link is made from a
// command line), deleted at the end without following the links in it.
class LinkFolder {
  public:
    LinkFolder() {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        mPath = FromWideText(temp) + u"links-" + ToUtf16(std::to_string(GetCurrentProcessId()));
        DeleteDirectoryTree(mPath);
        CreateDirectoryOnce(mPath);
    }
    ~LinkFolder() { DeleteDirectoryTree(mPath); }
    std::u16string operator/(const std::u16string& name) const { return mPath + u"\\" + name; }
    const std::u16string& Path() const { return mPath; }

  private:
    static std::u16string FromWideText(const wchar_t* text) {
        return std::u16string(reinterpret_cast<const char16_t*>(text));
    }
    std::u16string mPath;
};

// A junction where the file system takes one, else the host's link; false when neither works.
// junction tells which one it is.
bool MakeLinkToFolder(const std::u16string& link, const std::u16string& target,
                      bool* junction = nullptr) {
    const bool made = MakeJunction(link, target);
    if (junction != nullptr) {
        *junction = made;
    }
    if (made) {
        return true;
    }
    RemoveEmptyDirectory(link);
    return MakeHostLink(link, target);
}

// Junctions planted where the launcher keeps its own file and folder, pointing outside: the
// download and the install refuse them by name, nothing opens or writes through them, and a
// junction inside an old extraction folder is removed as a junction.
TEST(Win32FileSystem, JunctionsAreNeverFollowed) {
    LinkFolder folder;
    const std::u16string outside = folder / u"draussen";
    CreateParentDirectories(outside + u"\\unter\\x");
    WriteBytes(outside + u"\\behalten.txt", "keep");
    const std::u16string package = folder / u"prod-7.zip";
    const std::u16string extraction = folder / u"prod.7";
    if (!MakeLinkToFolder(package, outside) || !MakeLinkToFolder(extraction, outside)) {
        GTEST_SKIP() << "this file system takes no junctions";
    }
    const auto refusal = [](const std::u16string& path) {
        return "\"" + ToUtf8(path) +
               "\" is a link: the launcher follows no link below the destination";
    };
    SetupSelection selection;
    selection.product = u"prod";
    selection.version = "7";
    selection.filename = "prod-7.zip";
    selection.filetype = "arc";
    selection.destination = folder.Path() + u"\\";

    EXPECT_TRUE(IsLink(extraction + u"\\"));
    EXPECT_FALSE(IsLink(outside));
    try {
        RefuseLinkedReleaseFile(selection);
        ADD_FAILURE() << "the release file's junction was taken";
    } catch (const DownloadException& error) {
        EXPECT_EQ(error.what(), refusal(package));
    }
    EXPECT_FALSE(ReadOnlyFile::Open(package));
    EXPECT_EQ(OpenSharedFile(package, StreamMode::New), nullptr);
    EXPECT_EQ(CreateFileForWriting(package), nullptr);
    try {
        InstallArchive(selection);
        ADD_FAILURE() << "the install went through a junction";
    } catch (const ZipException& error) {
        EXPECT_EQ(error.what(), refusal(package));
    }
    // With no link at the package's name, the extraction folder's junction is refused next.
    selection.filename = "anderes.zip";
    try {
        InstallArchive(selection);
        ADD_FAILURE() << "the install went through a junction";
    } catch (const ZipException& error) {
        EXPECT_EQ(error.what(), refusal(extraction));
    }
    EXPECT_FALSE(DeleteDirectoryTree(extraction + u"\\"));
    EXPECT_EQ(ReadBytes(outside + u"\\behalten.txt"), "keep");

    // A junction inside an old extraction folder: the deletion does not go through it.
    const std::u16string old = folder / u"alt";
    CreateParentDirectories(old + u"\\x");
    bool junction = false;
    ASSERT_TRUE(MakeLinkToFolder(old + u"\\verweis", outside, &junction));
    const bool deleted = DeleteDirectoryTree(old);
    EXPECT_EQ(ReadBytes(outside + u"\\behalten.txt"), "keep");
    EXPECT_TRUE(IsDirectory(outside + u"\\unter"));
    // Windows removes a junction as the link it is. Wine's stand-in, a host link, cannot be
    // removed without reaching its target (which is not empty and stays): the deletion says so.
    EXPECT_EQ(deleted, junction);
    EXPECT_EQ(Exists(old), !junction);
}

TEST(Win32FileSystem, SeparatorsAndFolderPaths) {
    EXPECT_EQ(NormalizeSeparators(u"C:/a\\b/c"), u"C:\\a\\b\\c");
    EXPECT_EQ(AsDirectoryPath(u"C:/a/b"), u"C:\\a\\b\\");
    EXPECT_EQ(AsDirectoryPath(u"C:\\a\\"), u"C:\\a\\");
    EXPECT_EQ(AsDirectoryPath(u""), u"");
    EXPECT_EQ(ParentDirectoryPrefixes(u"D:\\Downloads\\p.1\\sub\\file.bin"),
              (std::vector<std::u16string>{u"D:\\Downloads", u"D:\\Downloads\\p.1",
                                           u"D:\\Downloads\\p.1\\sub"}));
    EXPECT_TRUE(ParentDirectoryPrefixes(u"C:\\file.bin").empty());
}

TEST(Win32FileSystem, CreatesParentFoldersOfAFile) {
    TempFolder folder;
    CreateParentDirectories(folder.Path() + u"/neu/tief/datei.bin");
    EXPECT_TRUE(IsDirectory(folder / u"neu"));
    EXPECT_TRUE(IsDirectory(folder / u"neu\\tief"));
    EXPECT_FALSE(Exists(folder / u"neu\\tief\\datei.bin"));
}

TEST(Win32FileSystem, DeletesATreeWithReadOnlyAndHiddenFiles) {
    TempFolder folder;
    const std::u16string tree = folder / u"baum";
    CreateParentDirectories(tree + u"\\unter\\x");
    WriteBytes(tree + u"\\schreibgeschützt.txt", "r");
    WriteBytes(tree + u"\\unter\\versteckt.txt", "h");
    SetFileAttributesW(reinterpret_cast<const wchar_t*>((tree + u"\\schreibgeschützt.txt").c_str()),
                       FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(reinterpret_cast<const wchar_t*>((tree + u"\\unter\\versteckt.txt").c_str()),
                       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);

    EXPECT_TRUE(DeleteDirectoryTree(tree + u"\\"));
    EXPECT_FALSE(Exists(tree));
    EXPECT_FALSE(DeleteDirectoryTree(tree));
}

TEST(Win32FileSystem, FileHeldOpenStopsTheDeletion) {
    TempFolder folder;
    const std::u16string tree = folder / u"baum";
    CreateParentDirectories(tree + u"\\x");
    WriteBytes(tree + u"\\offen.txt", "o");
    // Held by another program that does not share deletion.
    HANDLE held = OpenWithSharing(tree + u"\\offen.txt", FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteDirectoryTree(tree));
    CloseHandle(held);
    EXPECT_TRUE(Exists(tree + u"\\offen.txt"));
    EXPECT_TRUE(DeleteDirectoryTree(tree));
}

TEST(Win32FileSystem, EntriesSizesAndCopies) {
    TempFolder folder;
    WriteBytes(folder / u"fünf.bin", "12345");
    WriteBytes(folder / u"leer.bin", "");
    CreateDirectoryOnce(folder / u"ordner");

    std::vector<std::u16string> files;
    std::vector<std::u16string> folders;
    for (const DirectoryEntry& entry : ListDirectory(folder.Path()))
        (entry.isDirectory ? folders : files).push_back(entry.fullPath);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::u16string>{folder / u"fünf.bin", folder / u"leer.bin"}));
    EXPECT_EQ(folders, std::vector<std::u16string>{folder / u"ordner"});
    EXPECT_TRUE(ListDirectory(folder / u"fehlt").empty());

    EXPECT_EQ(FileSizeOrZero(folder / u"fünf.bin"), 5u);
    EXPECT_EQ(FileSizeOrZero(folder / u"leer.bin"), 0u);
    EXPECT_EQ(FileSizeOrZero(folder / u"fehlt.bin"), 0u);

    EXPECT_TRUE(CopyFileOver(folder / u"fünf.bin", folder / u"leer.bin"));
    EXPECT_EQ(ReadBytes(folder / u"leer.bin"), "12345");
    EXPECT_TRUE(DeleteFileAt(folder / u"leer.bin"));
    EXPECT_FALSE(PathExists(folder / u"leer.bin"));
    EXPECT_TRUE(RemoveEmptyDirectory(folder / u"ordner"));
}

TEST(Win32DownloadTarget, CutsAFileToLength) {
    TempFolder folder;
    const std::u16string file = folder / u"teil.arc";
    WriteBytes(file, "0123456789");
    EXPECT_TRUE(CutFileToLength(file, 4));
    EXPECT_EQ(ReadBytes(file), "0123");
    EXPECT_TRUE(CutFileToLength(file, 0));
    EXPECT_EQ(FileSizeOrZero(file), 0u);
    EXPECT_FALSE(CutFileToLength(folder / u"fehlt.arc", 0));

    // The cut needs the file for itself for a moment.
    WriteBytes(file, "0123456789");
    HANDLE held = OpenWithSharing(file, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CutFileToLength(file, 4));
    CloseHandle(held);
    EXPECT_EQ(FileSizeOrZero(file), 10u);
}

TEST(Win32DownloadTarget, StreamsShareTheFileInEveryMode) {
    TempFolder folder;
    const std::u16string file = folder / u"datei.arc";
    {
        DownloadStream stream;
        ASSERT_TRUE(stream.Open(file, StreamMode::New));
        EXPECT_TRUE(stream.Write("block-1|"));
        // Another process may read and write the file meanwhile.
        HANDLE other = OpenWithSharing(file, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_NE(other, INVALID_HANDLE_VALUE);
        CloseHandle(other);
        EXPECT_TRUE(stream.Close());
    }
    {
        DownloadStream stream;
        ASSERT_TRUE(stream.Open(file, StreamMode::Continue));
        EXPECT_TRUE(stream.Write("block-2|"));
        EXPECT_TRUE(stream.Close());
    }
    {
        DownloadStream stream;
        ASSERT_TRUE(stream.Open(file, StreamMode::Check));
        char buffer[32] = {};
        EXPECT_EQ(stream.Read(buffer, sizeof buffer), 16u);
        EXPECT_EQ(std::string(buffer, 16), "block-1|block-2|");
    }
    DownloadStream stream;
    ASSERT_TRUE(stream.Open(file, StreamMode::New));
    EXPECT_TRUE(stream.Close());
    EXPECT_EQ(FileSizeOrZero(file), 0u);
    EXPECT_FALSE(stream.Open(folder / u"fehlt\\datei.arc", StreamMode::Check));
}

TEST(Win32DownloadTarget, WorkerThreadChecksHashesAndWritesInBlockOrder) {
    TempFolder folder;
    const std::u16string file = folder / u"blöcke.arc";
    std::string blocks[3];
    for (int k = 0; k < 3; ++k) blocks[k] = std::string(1 << 20, static_cast<char>('a' + k));
    const std::string digests[3] = {Md5Hex(blocks[0]), Md5Hex(blocks[1]), Md5Hex(blocks[2])};
    DownloadStream stream;
    ASSERT_TRUE(stream.Open(file, StreamMode::New));
    {
        DownloadWorker worker(stream, true);
        worker.HashKept("kept|");  // hashed, not written
        worker.Begin(0);
        worker.Submit(0, "bad", &digests[0]);
        worker.Submit(1, blocks[1], &digests[1]);  // waits for block 0
        const std::vector<BlockVerdict> verdicts = worker.Verdicts(1);
        ASSERT_EQ(verdicts.size(), 1u);
        EXPECT_FALSE(verdicts[0].match);
        worker.Submit(0, blocks[0], &digests[0]);
        worker.Submit(2, blocks[2], &digests[2]);
        EXPECT_EQ(worker.Finish(),
                  HashText("kept|" + blocks[0] + blocks[1] + blocks[2], "SHA256", true));
    }
    EXPECT_TRUE(stream.Close());
    EXPECT_TRUE(ReadBytes(file) == blocks[0] + blocks[1] + blocks[2]);
}

}  // namespace
