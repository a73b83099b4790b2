// Mounting a downloaded image: which mount points are opened, the mount table's text form, and
// the silent path on a system without the tools.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "install/iso_mount.h"
#include "support/test_environment.h"

namespace {

struct FakeMount {
    std::vector<std::vector<std::u16string>> tables;  // answers of successive listings
    std::vector<std::u16string> attached;
    std::vector<std::u16string> opened;
    std::size_t listings = 0;

    ImageMountPlatform Platform() {
        return ImageMountPlatform{
            [this] { return listings < tables.size() ? tables[listings++] : tables.back(); },
            [this](const std::u16string& image) { attached.push_back(image); },
            [this](const std::u16string& root) { opened.push_back(root); }};
    }
};

SetupSelection ImageSelection(bool downloadOnly) {
    SetupSelection selection;
    selection.filename = "disc.iso";
    selection.filetype = "iso";
    selection.download_only = downloadOnly;
    selection.destination = u"/home/user/Downloads/";
    return selection;
}

TEST(InstallMountTest, OpensOnlyTheMountPointsThatAppeared) {
    FakeMount mount;
    mount.tables = {{u"/", u"/media/usb"},
                    {u"/", u"/media/user/DISC", u"/media/usb", u"/media/user/DISC 2"}};

    MountIsoAndOpen(ImageSelection(false), mount.Platform());

    EXPECT_EQ(mount.attached, std::vector<std::u16string>{u"/home/user/Downloads/disc.iso"});
    EXPECT_EQ(mount.opened,
              (std::vector<std::u16string>{u"/media/user/DISC", u"/media/user/DISC 2"}));
}

TEST(InstallMountTest, DownloadOnlyTouchesNothing) {
    FakeMount mount;
    mount.tables = {{u"/"}, {u"/", u"/media/new"}};

    MountIsoAndOpen(ImageSelection(true), mount.Platform());

    EXPECT_EQ(mount.listings, 0u);
    EXPECT_TRUE(mount.attached.empty());
    EXPECT_TRUE(mount.opened.empty());
}

TEST(InstallMountTest, ParsesBothMountTableForms) {
    const std::string mountinfo =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "40 22 7:0 / /media/user/My\\040Disc ro shared:20 - iso9660 /dev/loop0 ro\n"
        "41 22 0:5 / /mnt/back\\134slash\\011tab rw - tmpfs tmpfs rw\n"
        "42 22 0:6 / /mnt/not\\08octal rw - tmpfs tmpfs rw";
    EXPECT_EQ(ParseMountPoints(mountinfo, 4),
              (std::vector<std::u16string>{u"/", u"/media/user/My Disc", u"/mnt/back\\slash\ttab",
                                           u"/mnt/not\\08octal"}));

    const std::string mounts =
        "/dev/sda1 / ext4 rw 0 0\n/dev/loop0 /media/user/My\\040Disc iso9660 ro 0 0\n\n";
    EXPECT_EQ(ParseMountPoints(mounts, 1),
              (std::vector<std::u16string>{u"/", u"/media/user/My Disc"}));
}

TEST(InstallMountTest, WithoutMountToolsNothingHappensAndTheImageStays) {
    TempDir dir;
    TempDir emptyPath;
    ScopedEnv path("PATH", emptyPath.path().string());
    WriteFileBytes(dir.path() / "disc.iso", "not really an image");
    SetupSelection selection = ImageSelection(false);
    selection.destination = dir.folder();

    MountIsoAndOpen(selection);

    EXPECT_EQ(ReadFileBytes(dir.path() / "disc.iso"), "not really an image");
}

}  // namespace
