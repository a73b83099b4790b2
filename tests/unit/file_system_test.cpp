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
