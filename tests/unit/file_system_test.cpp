#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/file_system.h"
#include "core/text_conversion.h"
#include "support/test_environment.h"

namespace {
TEST(FileSystem, SeparatorsAndFolderPaths) {
    EXPECT_EQ(NormalizeSeparators(u"a\\b/c"), u"a/b/c");
    EXPECT_EQ(AsDirectoryPath(u""), u"");
    EXPECT_EQ(AsDirectoryPath(u"C:\\a\\b"), u"C:/a/b/");
    EXPECT_EQ(AsDirectoryPath(u"/home/u/"), u"/home/u/");
    EXPECT_EQ(AsDirectoryPath(u"/"), u"/");
}

TEST(FileSystem, ParentDirectoryPrefixes) {
    using List = std::vector<std::u16string>;
    const std::pair<std::u16string, List> cases[] = {
        {u"D:\\Downloads\\p.1\\sub\\file.bin",
         {u"D:/Downloads", u"D:/Downloads/p.1", u"D:/Downloads/p.1/sub"}},
        {u"C:\\file.bin", {}},
        {u"file.bin", {}},
        {u"a/b/c.txt", {u"a", u"a/b"}},
        {u"a//b/c.txt", {u"a", u"a/", u"a//b"}},
        {u"/home/u/p.1/x.bin", {u"/home", u"/home/u", u"/home/u/p.1"}},
        {u"/x.bin", {}},
        {u"a/b/", {u"a"}},
    };
    for (const auto& [path, prefixes] : cases) {
        EXPECT_EQ(ParentDirectoryPrefixes(path), prefixes) << ToUtf8(path);
    }
}

TEST(FileSystem, CreateParentDirectoriesAsksOncePerFolder) {
    TempDir dir;
    std::u16string base = dir.folder();
    MadeFolders made;
    CreateParentDirectories(base + u"a\\b\\one.txt", made);
    CreateParentDirectories(base + u"a/b/two.txt", made);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "a" / "b"));
    EXPECT_EQ(made.count(base + u"a/b"), 1u);
    // The set caches requests: a folder in it is never asked for again, even if it went away.
    std::filesystem::remove_all(dir.path() / "a");
    CreateParentDirectories(base + u"a/b/three.txt", made);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "a"));
}

TEST(FileSystem, DeleteDirectoryTree) {
    TempDir dir;
    auto root = dir.path() / "tree";
    std::filesystem::create_directories(root / "sub" / "deeper");
    WriteFileBytes(root / "a.txt", "a");
    WriteFileBytes(root / "sub" / "deeper" / "b.txt", "b");
    WriteFileBytes(root / "sub" / ".hidden", "h");
    ::chmod((root / "a.txt").c_str(), 0444);
    // A link into another folder is removed as a link; what it points to stays.
    std::filesystem::create_directories(dir.path() / "outside");
    WriteFileBytes(dir.path() / "outside" / "keep.txt", "k");
    std::filesystem::create_directory_symlink(dir.path() / "outside", root / "link");

    EXPECT_TRUE(DeleteDirectoryTree(ToUtf16(root.string()) + u"/"));
    EXPECT_FALSE(std::filesystem::exists(root));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "outside" / "keep.txt"));
    EXPECT_FALSE(DeleteDirectoryTree(ToUtf16((dir.path() / "missing").string())));
}

TEST(FileSystem, DeleteDirectoryTreeStopsAtAFileItCannotDelete) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root may delete files in read-only folders";
    }
    TempDir dir;
    auto root = dir.path() / "tree";
    std::filesystem::create_directories(root / "locked");
    WriteFileBytes(root / "locked" / "f.txt", "f");
    ::chmod((root / "locked").c_str(), 0555);
    EXPECT_FALSE(DeleteDirectoryTree(ToUtf16(root.string())));
    EXPECT_TRUE(std::filesystem::exists(root / "locked" / "f.txt"));
}

// A folder that is itself a link is not deleted through, with or without a trailing separator
// (which would make the system resolve the link).
TEST(FileSystem, DeleteDirectoryTreeLeavesAFolderThatIsALink) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "outside" / "sub");
    WriteFileBytes(dir.path() / "outside" / "sub" / "keep.txt", "k");
    std::filesystem::create_directory_symlink(dir.path() / "outside", dir.path() / "link");
    const std::u16string link = ToUtf16((dir.path() / "link").string());
    for (const std::u16string& path : {link, link + u"/"}) {
        EXPECT_TRUE(IsLink(path));
        EXPECT_FALSE(DeleteDirectoryTree(path));
        EXPECT_EQ(ReadFileBytes(dir.path() / "outside" / "sub" / "keep.txt"), "k");
    }
    EXPECT_FALSE(IsLink(ToUtf16((dir.path() / "outside").string()) + u"/"));
    EXPECT_EQ(LinkRefusal(link + u"/"), "\"" + (dir.path() / "link").string() +
                                            "\" is a link: the launcher follows no link below the "
                                            "destination");
}

// Only a regular file at the name itself opens; a link to one, a folder, a FIFO (whose open would
// block) and a missing file do not, and their sizes read as 0.
TEST(FileSystem, ReadOnlyFileOpensOnlyARegularFileAtItsName) {
    TempDir dir;
    WriteFileBytes(dir.path() / "file", "12345");
    std::filesystem::create_symlink(dir.path() / "file", dir.path() / "link");
    std::filesystem::create_directory(dir.path() / "folder");
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    const auto path = [&dir](const char* name) { return ToUtf16((dir.path() / name).string()); };

    const std::unique_ptr<ReadOnlyFile> file = ReadOnlyFile::Open(path("file"));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Size(), 5u);
    char bytes[8] = {};
    EXPECT_EQ(file->ReadAt(1, bytes, sizeof bytes), 4u);
    EXPECT_EQ(std::string(bytes, 4), "2345");
    for (const char* name : {"link", "folder", "fifo", "missing"}) {
        EXPECT_FALSE(ReadOnlyFile::Open(path(name))) << name;
        EXPECT_EQ(FileSizeOrZero(path(name)), 0u) << name;
    }
    // The identity follows the open file, not its name.
    const FileIdentity before = file->Identity();
    std::filesystem::rename(dir.path() / "file", dir.path() / "moved");
    WriteFileBytes(dir.path() / "file", "other");
    EXPECT_EQ(file->Identity(), before);
    EXPECT_NE(ReadOnlyFile::Open(path("file"))->Identity(), before);
}

// Files below a folder are reached from it without following a link on the way: a link in place of
// a folder or of the file itself, or a way up, gives no file, and the link's target keeps its
// bytes.
TEST(FileSystem, CreatingBelowAFolderFollowsNoLinkOnTheWay) {
    TempDir dir;
    const std::filesystem::path folder = dir.path() / "folder";
    const std::filesystem::path outside = dir.path() / "outside";
    std::filesystem::create_directories(folder / "real" / "deeper");
    std::filesystem::create_directories(outside);
    WriteFileBytes(outside / "file.txt", "outside");
    std::filesystem::create_directory_symlink(outside, folder / "linked");
    std::filesystem::create_directory_symlink(outside, folder / "real" / "linked");
    std::filesystem::create_symlink(outside / "file.txt", folder / "file.txt");
    const std::u16string base = ToUtf16(folder.string()) + u"/";

    for (const char16_t* relative : {u"linked/file.txt", u"real/linked/file.txt", u"file.txt",
                                     u"real/../linked/file.txt", u"../outside/file.txt"}) {
        SCOPED_TRACE(ToUtf8(relative));
        EXPECT_EQ(CreateFileBelow(base, relative), nullptr);
        EXPECT_FALSE(CopyFileInto(ToUtf16((outside / "file.txt").string()),
                                  CreateFileBelow(base, relative)));
        EXPECT_EQ(ReadFileBytes(outside / "file.txt"), "outside");
    }
    EXPECT_TRUE(CopyFileInto(ToUtf16((outside / "file.txt").string()),
                             CreateFileBelow(base, u"real/deeper/copy.txt")));
    EXPECT_EQ(ReadFileBytes(folder / "real" / "deeper" / "copy.txt"), "outside");

    // Folders are made the same way: none appears through a link.
    for (const char16_t* relative : {u"linked/new/file.txt", u"real/linked/new/file.txt",
                                     u"real/../linked/new/file.txt", u"../outside/new/file.txt"}) {
        SCOPED_TRACE(ToUtf8(relative));
        EXPECT_FALSE(CreateFoldersBelow(base, relative));
        EXPECT_FALSE(std::filesystem::exists(outside / "new"));
    }
    EXPECT_TRUE(CreateFoldersBelow(base, u"real/made/deeper/file.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "real" / "made" / "deeper"));
    EXPECT_FALSE(std::filesystem::exists(folder / "real" / "made" / "deeper" / "file.txt"));
}

// Moves below a folder reach both names without following a link on the way: nothing moves into
// or out of the folder a link points to; a plain move of a file and of a folder works.
TEST(FileSystem, MovingBelowAFolderFollowsNoLinkOnTheWay) {
    TempDir dir;
    const std::filesystem::path folder = dir.path() / "folder";
    const std::filesystem::path outside = dir.path() / "outside";
    std::filesystem::create_directories(folder / "real" / "tree");
    std::filesystem::create_directories(outside);
    WriteFileBytes(outside / "file.txt", "outside");
    WriteFileBytes(folder / "real" / "member", "member");
    std::filesystem::create_directory_symlink(outside, folder / "linked");
    const std::u16string base = ToUtf16(folder.string()) + u"/";

    const struct {
        const char16_t* from;
        const char16_t* to;
    } refused[] = {
        {u"real/member", u"linked/file.txt"},
        {u"linked/file.txt", u"real/stolen.txt"},
        {u"real/member", u"real/../linked/file.txt"},
        {u"real/member", u"../outside/file.txt"},
    };
    for (const auto& move : refused) {
        SCOPED_TRACE(ToUtf8(move.from) + " -> " + ToUtf8(move.to));
        EXPECT_FALSE(MoveBelow(base, move.from, move.to));
        EXPECT_EQ(ReadFileBytes(outside / "file.txt"), "outside");
        EXPECT_EQ(ReadFileBytes(folder / "real" / "member"), "member");
    }
    EXPECT_TRUE(MoveBelow(base, u"real/member", u"real/tree/placed"));
    EXPECT_EQ(ReadFileBytes(folder / "real" / "tree" / "placed"), "member");
    EXPECT_TRUE(MoveBelow(base, u"real/tree/", u"moved"));
    EXPECT_EQ(ReadFileBytes(folder / "moved" / "placed"), "member");
}

TEST(FileSystem, FileSizeOrZero) {
    TempDir dir;
    WriteFileBytes(dir.path() / "empty", "");
    WriteFileBytes(dir.path() / "five", "12345");
    EXPECT_EQ(FileSizeOrZero(ToUtf16((dir.path() / "missing").string())), 0u);
    EXPECT_EQ(FileSizeOrZero(ToUtf16((dir.path() / "empty").string())), 0u);
    EXPECT_EQ(FileSizeOrZero(ToUtf16((dir.path() / "five").string())), 5u);
}

TEST(FileSystem, ContainedRelativePaths) {
    const std::pair<std::u16string, bool> cases[] = {
        {u"setup.exe", true},
        {u"sub\\dir/file", true},
        {u"a..b", true},
        {u"..", false},
        {u"..\\..\\x", false},
        {u"a/../../x", false},
        {u"/etc/passwd", false},
        {u"\\x", false},
        {u"C:\\x", false},
        {u"C:x", false},
        {u"", false},
        {u"a/..", false},
        {std::u16string(u"a\0b", 3), false},
    };
    for (const auto& [path, contained] : cases) {
        EXPECT_EQ(IsContainedRelativePath(path), contained) << ToUtf8(path);
    }
}
}  // namespace
