// Installing "arc" packages: clearing the extraction folder, unpacking and verifying the entries,
// copies, failures that end the launch with a message, refused destinations, and the start.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/launch_flow.h"
#include "core/json_reader.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "download/download_target.h"
#include "install/archive_extraction.h"
#include "support/package_builder.h"
#include "support/process_seams.h"
#include "support/scripted_dialogs.h"
#include "support/setup_log_reader.h"
#include "support/test_environment.h"
#include "ui/language_selection.h"
#include "ui/progress_estimate.h"

namespace fs = std::filesystem;

namespace {

// Scripted views that also record what the progress window was told.
class InstallViews : public ScriptedViews {
  public:
    std::vector<std::uint32_t> ranges;
    std::vector<std::uint32_t> positions;

    std::unique_ptr<ProgressView> ShowProgress(ExtractionProgress& progress) override {
        ScriptedViews::ShowProgress(progress);
        return std::make_unique<Recorder>(*this);
    }

  private:
    class Recorder : public ProgressView {
      public:
        explicit Recorder(InstallViews& owner) : mOwner(owner) {}
        void Update(const std::u16string&, std::uint32_t position, std::uint32_t range) override {
            if (mOwner.ranges.empty() || mOwner.ranges.back() != range) {
                mOwner.ranges.push_back(range);
            }
            if (mOwner.positions.empty() || mOwner.positions.back() != position) {
                mOwner.positions.push_back(position);
            }
        }

      private:
        InstallViews& mOwner;
    };
};

// A whole launch whose index, selection and download are given: the package is already in place.
class LocalPackageStations : public LaunchStations {
  public:
    explicit LocalPackageStations(SetupSelection selection) : mSelection(std::move(selection)) {}
    ProductCatalog FetchIndex(const std::u16string&, std::string&) override {
        return JsonValue::Parse("{}");
    }
    SetupSelection SelectRelease(const ProductCatalog&, const std::string&) override {
        return mSelection;
    }
    void SendUsageEvent(const std::u16string&, const std::string&, const std::string&,
                        const std::string&, std::uint32_t) override {}
    SetupSelection DownloadArchive(SetupSelection selection) override { return selection; }

  private:
    SetupSelection mSelection;
};

const char* const kStartAnything =
    R"({"startCommands":[{"language":"*","bitness":"*","command":"bin\\setup.sh"}]})";
const char* const kLanguageEditionsOnly =
    R"({"startCommands":[{"language":"de","bitness":"x64","command":"de/setup.sh"},
                         {"language":"de","bitness":"x86","command":"de/setup.sh"},
                         {"language":"en","bitness":"x64","command":"en/setup.sh"},
                         {"language":"en","bitness":"x86","command":"en/setup.sh"}]})";

std::string Entry(const std::string& hash, const std::vector<std::string>& destinations) {
    nlohmann::json entry = {{"hash", hash}, {"dst", destinations}};
    return entry.dump();
}

std::string Entries(const std::vector<std::string>& entries) {
    std::string text = "[";
    for (const std::string& entry : entries) {
        text += (text.size() > 1 ? "," : "") + entry;
    }
    return text + "]";
}

// Every file below the folder, as paths relative to it.
std::set<std::string> FilesBelow(const fs::path& folder) {
    std::set<std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.is_regular_file()) {
            files.insert(fs::relative(item.path(), folder).generic_string());
        }
    }
    return files;
}

class InstallExtractionTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    void SetUp() override {
        SetSetupStarter([this](const std::u16string& path) { started.push_back(path); });
    }

    SetupSelection Selection(bool downloadOnly = false) const {
        SetupSelection selection;
        selection.product = u"prod";
        selection.version = "7";
        selection.filename = "prod-7.zip";
        selection.filetype = "arc";
        selection.download_only = downloadOnly;
        selection.destination = dir.folder();
        return selection;
    }
    fs::path PackagePath() const { return dir.path() / "prod-7.zip"; }
    fs::path Folder() const { return dir.path() / "prod.7"; }
    std::u16string FolderText() const { return ToUtf16(Folder().string() + "/"); }

    // Runs a launch over the package in place and returns the text of the failure that reaches
    // the entry (which shows it in the message box); empty when the launch ended normally.
    std::string Launch(bool downloadOnly = false) {
        LocalPackageStations stations(Selection(downloadOnly));
        try {
            RunLauncher(u"prod", stations);
        } catch (const ZipException& e) {
            return e.what();
        }
        return {};
    }

    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    InstallViews views;
    ScopedViews scopedViews{views};
    std::vector<std::u16string> started;
};

TEST_F(InstallExtractionTest, InstallsStartsAndDeletesThePackage) {
    PackageBuilder package;
    const std::string readme = package.AddContent("read me");
    const std::string setup = package.AddContent("#!/bin/sh\n");
    package.ArcInfo(Entries({Entry(readme, {"readme.txt"}), Entry(setup, {"bin\\setup.sh"})}))
        .ArcConfig(kStartAnything)
        .Write(PackagePath());

    InstallArchive(Selection());

    EXPECT_EQ(FilesBelow(Folder()), (std::set<std::string>{"readme.txt", "bin/setup.sh"}));
    EXPECT_EQ(ReadFileBytes(Folder() / "bin/setup.sh"), "#!/bin/sh\n");
    EXPECT_EQ(started, std::vector<std::u16string>{FolderText() + u"bin/setup.sh"});
    EXPECT_FALSE(fs::exists(PackagePath()));
    EXPECT_EQ(views.ranges.back(), 2u);
    EXPECT_EQ(views.positions, (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(views.progressWindows, 1);
    EXPECT_EQ(views.languageDialogs, 0);
    EXPECT_NE(SetupLogText().find("extract: elapsed seconds: "), std::string::npos);
}

TEST_F(InstallExtractionTest, SecondRunStartsFromAnEmptiedFolder) {
    PackageBuilder package;
    const std::string file = package.AddContent("new content");
    package.ArcInfo(Entries({Entry(file, {"file.txt"})})).ArcConfig(kStartAnything);
    package.Write(PackagePath());
    fs::create_directories(Folder() / "old");
    WriteFileBytes(Folder() / "old/left-over.txt", "from the first run");
    WriteFileBytes(Folder() / "file.txt", "old content");

    InstallArchive(Selection());

    EXPECT_EQ(FilesBelow(Folder()), std::set<std::string>{"file.txt"});
    EXPECT_FALSE(fs::exists(Folder() / "old"));
    EXPECT_EQ(ReadFileBytes(Folder() / "file.txt"), "new content");
}

TEST_F(InstallExtractionTest, DownloadOnlyExtractsAndDeletesWithoutAskingOrStarting) {
    PackageBuilder package;
    const std::string file = package.AddContent("content");
    package.ArcInfo(Entries({Entry(file, {"file.txt"})})).ArcConfig(kLanguageEditionsOnly);
    package.Write(PackagePath());

    InstallArchive(Selection(/*downloadOnly=*/true));

    EXPECT_EQ(ReadFileBytes(Folder() / "file.txt"), "content");
    EXPECT_FALSE(fs::exists(PackagePath()));
    EXPECT_EQ(views.languageDialogs, 0);
    EXPECT_TRUE(started.empty());
}

TEST_F(InstallExtractionTest, SharedContentIsCopiedAndTheFirstPlaceIsNotCopiedOntoItself) {
    const std::string content(100000, 'x');
    PackageBuilder package;
    const std::string shared = package.AddContent(content);
    // The last destination names the first place with the other separator.
    package
        .ArcInfo(
            Entries({Entry(shared, {"a/one.bin", "b/two.bin", "c/d/three.bin", "a\\one.bin"})}))
        .ArcConfig(kStartAnything)
        .Write(PackagePath());

    InstallArchive(Selection());

    EXPECT_EQ(FilesBelow(Folder()),
              (std::set<std::string>{"a/one.bin", "b/two.bin", "c/d/three.bin"}));
    for (const char* file : {"a/one.bin", "b/two.bin", "c/d/three.bin"}) {
        EXPECT_EQ(ReadFileBytes(Folder() / file), content) << file;
    }
    // One step for the entry, not one per destination.
    EXPECT_EQ(views.ranges.back(), 1u);
    EXPECT_EQ(views.positions, (std::vector<std::uint32_t>{0, 1}));
}

// Members are inflated in pieces and handed to a writing thread: every size around the piece size,
// stored and deflated, must arrive whole and in order (a lost, repeated or reordered piece fails
// the member's digest check).
TEST_F(InstallExtractionTest, MembersOfManyPiecesArriveWholeStoredAndDeflated) {
    constexpr std::size_t kPiece = 256 * 1024;
    for (const bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "stored" : "deflated");
        PackageBuilder package;
        if (stored) {
            package.Stored();
        }
        std::vector<std::string> entries;
        std::vector<std::pair<std::string, std::string>> expected;
        std::uint32_t seed = 7;
        for (const std::size_t size :
             {std::size_t{0}, kPiece - 1, kPiece, kPiece + 1, 4 * kPiece + 3}) {
            std::string content(size, '\0');
            for (char& byte : content) {
                seed = seed * 1103515245u + 12345u;
                // Half noise, half text, so that deflating still has something to do.
                byte = static_cast<char>((seed >> 16) % (&byte - content.data() < 4096 ? 256 : 16));
            }
            const std::string file = "f" + std::to_string(size) + ".bin";
            entries.push_back(Entry(package.AddContent(content), {file}));
            expected.emplace_back(file, std::move(content));
        }
        package.ArcInfo(Entries(entries)).ArcConfig(kStartAnything).Write(PackagePath());

        EXPECT_EQ(Launch(), "");
        for (const auto& [file, content] : expected) {
            EXPECT_EQ(ReadFileBytes(Folder() / file), content) << file;
        }
        EXPECT_FALSE(fs::exists(PackagePath()));
    }
}

// A member whose file cannot be created ends the extraction with that reason, after the entries
// before it were written, and before anything after it.
TEST_F(InstallExtractionTest, FileThatCannotBeCreatedStopsTheExtraction) {
    PackageBuilder package;
    const std::string first = package.AddContent("first");
    const std::string second = package.AddContent(std::string(600000, 's'));
    const std::string third = package.AddContent("third");
    // "a/inner.txt" makes "a" a folder, so the second entry's file "a" cannot be created.
    package
        .ArcInfo(
            Entries({Entry(first, {"a/inner.txt"}), Entry(second, {"a"}), Entry(third, {"3.txt"})}))
        .ArcConfig(kStartAnything)
        .Write(PackagePath());

    const std::string message = Launch();

    EXPECT_EQ(message, "The package prod-7.zip could not be unpacked: \"" +
                           (Folder() / "a").string() + "\" cannot be written");
    EXPECT_EQ(FilesBelow(Folder()), (std::set<std::string>{"a/inner.txt"}));
    EXPECT_TRUE(fs::exists(PackagePath()));
    EXPECT_TRUE(started.empty());
}

TEST_F(InstallExtractionTest, MismatchingMemberStopsWithTheFileLeftAndThePackageKept) {
    PackageBuilder package;
    const std::string before = package.AddContent("first");
    const std::string expected = Sha256Of("what the list promises");
    package.Add(expected, "something else");
    const std::string after = package.AddContent("third");
    package
        .ArcInfo(Entries({Entry(before, {"1.txt"}), Entry(expected, {"2.txt", "copy/2.txt"}),
                          Entry(after, {"later/3.txt"})}))
        .ArcConfig(kStartAnything)
        .Write(PackagePath());

    const std::string message = Launch();

    EXPECT_EQ(ReadFileBytes(Folder() / "1.txt"), "first");
    EXPECT_EQ(ReadFileBytes(Folder() / "2.txt"), "something else");
    EXPECT_EQ(FilesBelow(Folder()), (std::set<std::string>{"1.txt", "2.txt"}));
    // Folders are all made before the first file.
    EXPECT_TRUE(fs::is_directory(Folder() / "later"));
    EXPECT_TRUE(fs::exists(PackagePath()));
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(message,
              "The package prod-7.zip could not be unpacked: \"2.txt\" does not match "
              "its digest " +
                  expected);
    EXPECT_NE(SetupLogText().find("throwing ZipException(" + message + ")\r\n"), std::string::npos);
    EXPECT_EQ(views.positions.back(), 1u);
    EXPECT_EQ(views.progressWindows, 1);
}

TEST_F(InstallExtractionTest, EmptyListGoesStraightToTheStart) {
    PackageBuilder().ArcInfo("[]").ArcConfig(kStartAnything).Write(PackagePath());

    InstallArchive(Selection());

    EXPECT_EQ(views.ranges, std::vector<std::uint32_t>{0});
    EXPECT_EQ(views.positions, std::vector<std::uint32_t>{0});
    EXPECT_EQ(started, std::vector<std::u16string>{FolderText() + u"bin/setup.sh"});
    EXPECT_FALSE(fs::exists(PackagePath()));
}

TEST_F(InstallExtractionTest, NoMatchingCommandOpensTheExtractionFolder) {
    PackageBuilder package;
    const std::string file = package.AddContent("content");
    package.ArcInfo(Entries({Entry(file, {"file.txt"})}))
        .ArcConfig(R"({"startCommands":[{"language":"fr","bitness":"*","command":"fr.sh"}]})")
        .Write(PackagePath());

    InstallArchive(Selection());

    EXPECT_EQ(views.languageDialogs, 1);
    EXPECT_EQ(started, std::vector<std::u16string>{FolderText()});
    EXPECT_FALSE(fs::exists(PackagePath()));
}

TEST_F(InstallExtractionTest, CancelledLanguageQuestionStartsNothingAndDeletesThePackage) {
    views.onLanguage = [](LanguageSelectionDlg&) { return false; };
    PackageBuilder package;
    const std::string file = package.AddContent("content");
    package.ArcInfo(Entries({Entry(file, {"file.txt"})}))
        .ArcConfig(kLanguageEditionsOnly)
        .Write(PackagePath());

    EXPECT_EQ(Launch(), "");

    EXPECT_EQ(views.languageDialogs, 1);
    EXPECT_TRUE(started.empty());
    EXPECT_FALSE(fs::exists(PackagePath()));
    EXPECT_EQ(ReadFileBytes(Folder() / "file.txt"), "content");
    const std::string log = SetupLogText();
    const std::size_t thrown = log.find("): throwing AbortException\r\n");
    const std::size_t abort = log.find("): user abort\r\n");
    ASSERT_NE(thrown, std::string::npos);
    ASSERT_NE(abort, std::string::npos);
    EXPECT_LT(thrown, abort);
}

TEST_F(InstallExtractionTest, CommandLeadingOutsideTheFolderIsRefused) {
    PackageBuilder()
        .ArcInfo("[]")
        .ArcConfig(R"({"startCommands":[{"language":"*","bitness":"*","command":"..\\x.sh"}]})")
        .Write(PackagePath());

    const std::string message = Launch();

    EXPECT_TRUE(started.empty());
    EXPECT_EQ(message,
              "The setup of prod-7.zip cannot be started: its command \"..\\x.sh\" lies outside "
              "the extraction folder");
    EXPECT_TRUE(fs::exists(PackagePath()));
}

TEST_F(InstallExtractionTest, ReleaseKeyThatIsNoFolderNameIsRefusedBeforeDeleting) {
    fs::create_directories(dir.path() / "prod.x");
    fs::create_directories(dir.path() / "victim");
    WriteFileBytes(dir.path() / "victim/keep.txt", "keep");
    PackageBuilder().ArcInfo("[]").ArcConfig(kStartAnything).Write(PackagePath());
    SetupSelection selection = Selection();
    selection.version = "x/../victim";

    EXPECT_THROW(InstallArchive(selection), ZipException);

    EXPECT_EQ(ReadFileBytes(dir.path() / "victim/keep.txt"), "keep");
    EXPECT_TRUE(fs::exists(PackagePath()));
    EXPECT_TRUE(started.empty());
}

// A link at the package's or the extraction folder's name ends the launch with the link named;
// nothing behind it is read, deleted or written, and nothing is started.
TEST_F(InstallExtractionTest, LinkAtThePackageOrFolderNameIsRefused) {
    PackageBuilder package;
    const std::string file = package.AddContent("content");
    package.ArcInfo(Entries({Entry(file, {"file.txt"})})).ArcConfig(kStartAnything);
    const fs::path outside = dir.path() / "outside";
    struct Case {
        const char* name;
        fs::path link;
    };
    for (const Case& c : {Case{"package", PackagePath()}, Case{"folder", Folder()}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(outside);
        fs::remove_all(Folder());
        fs::remove(PackagePath());
        fs::create_directories(outside / "old");
        WriteFileBytes(outside / "old/keep.txt", "keep");
        package.Write(outside / "real.zip");
        if (c.link == PackagePath()) {
            fs::create_symlink(outside / "real.zip", PackagePath());
        } else {
            package.Write(PackagePath());
            fs::create_directory_symlink(outside, Folder());
        }

        const std::string message = Launch();

        EXPECT_EQ(message, "\"" + c.link.string() +
                               "\" is a link: the launcher follows no link below the destination");
        EXPECT_EQ(FilesBelow(outside), (std::set<std::string>{"old/keep.txt", "real.zip"}));
        EXPECT_TRUE(fs::is_symlink(c.link));
        EXPECT_TRUE(fs::exists(PackagePath()));
        EXPECT_TRUE(started.empty());
        EXPECT_EQ(views.progressWindows, 0);
    }
}

// Links left in an old extraction folder are removed as links: what they point to stays.
TEST_F(InstallExtractionTest, LinksInAnOldFolderAreRemovedAsLinks) {
    PackageBuilder package;
    const std::string file = package.AddContent("new content");
    package.ArcInfo(Entries({Entry(file, {"file.txt"})})).ArcConfig(kStartAnything);
    package.Write(PackagePath());
    const fs::path outside = dir.path() / "outside";
    fs::create_directories(outside / "sub");
    WriteFileBytes(outside / "sub/keep.txt", "keep");
    WriteFileBytes(outside / "file.txt", "outside file");
    fs::create_directories(Folder() / "old");
    fs::create_directory_symlink(outside, Folder() / "old/folder-link");
    // The old file's name is a link: the new file must not be written through it either.
    fs::create_symlink(outside / "file.txt", Folder() / "file.txt");

    InstallArchive(Selection());

    EXPECT_EQ(FilesBelow(Folder()), std::set<std::string>{"file.txt"});
    EXPECT_FALSE(fs::is_symlink(Folder() / "file.txt"));
    EXPECT_EQ(ReadFileBytes(Folder() / "file.txt"), "new content");
    EXPECT_EQ(FilesBelow(outside), (std::set<std::string>{"file.txt", "sub/keep.txt"}));
    EXPECT_EQ(ReadFileBytes(outside / "file.txt"), "outside file");
}

// The download checks the package and hands it over open, as the real download does; between
// that check and the install another package takes the package's name. The checked one is the
// one unpacked and started.
TEST_F(InstallExtractionTest, PackageSwappedAfterItsCheckIsNotTheOneUnpacked) {
    class SwappingStations : public LocalPackageStations {
      public:
        using LocalPackageStations::LocalPackageStations;
        std::function<void()> swap;
        SetupSelection DownloadArchive(SetupSelection selection) override {
            selection.package = OpenCompleteDownload(selection, selection.destination);
            EXPECT_TRUE(selection.package) << "the package in place passes the check";
            return selection;
        }
        void InstallArchive(SetupSelection selection) override {
            swap();
            LaunchStations::InstallArchive(std::move(selection));
        }
    };
    const auto build = [](const std::string& setup, const fs::path& to) {
        PackageBuilder package;
        const std::string content = package.AddContent(setup);
        package.ArcInfo(Entries({Entry(content, {"bin\\setup.sh"})}))
            .ArcConfig(kStartAnything)
            .Write(to);
    };
    build("#!/bin/sh\necho verified\n", PackagePath());
    build("#!/bin/sh\necho swapped\n", dir.path() / "swapped.zip");
    SetupSelection selection = Selection();
    selection.hash = Sha256Of(ReadFileBytes(PackagePath()));
    selection.filesize = fs::file_size(PackagePath());
    SwappingStations stations(selection);
    stations.swap = [&] { fs::rename(dir.path() / "swapped.zip", PackagePath()); };

    RunLauncher(u"prod", stations);

    EXPECT_EQ(ReadFileBytes(Folder() / "bin/setup.sh"), "#!/bin/sh\necho verified\n");
    EXPECT_EQ(started, std::vector<std::u16string>{FolderText() + u"bin/setup.sh"});
}

class InstallUnsafeDestinationTest : public InstallExtractionTest,
                                     public ::testing::WithParamInterface<std::string> {};

TEST_P(InstallUnsafeDestinationTest, IsRefusedBeforeAnythingIsWritten) {
    // An absolute destination is made to point into the test's own folder.
    const std::string destination =
        GetParam() == "ABSOLUTE" ? (dir.path() / "escaped.txt").string() : GetParam();
    PackageBuilder package;
    const std::string safe = package.AddContent("safe");
    const std::string unsafe = package.AddContent("unsafe");
    package
        .ArcInfo(
            Entries({Entry(safe, {"inside/safe.txt"}), Entry(unsafe, {"ok.txt", destination})}))
        .ArcConfig(kStartAnything)
        .Write(PackagePath());

    const std::string message = Launch();

    EXPECT_EQ(message, "The package prod-7.zip could not be unpacked: the destination \"" +
                           destination + "\" of entry 2 lies outside the extraction folder");
    // Nothing was written at all: only the package and the log are in the test's folder.
    EXPECT_EQ(FilesBelow(dir.path()), (std::set<std::string>{"prod-7.zip", "CAD-Setup.log"}));
    EXPECT_FALSE(fs::exists(Folder()));
    EXPECT_TRUE(started.empty());
}

INSTANTIATE_TEST_SUITE_P(Destinations, InstallUnsafeDestinationTest,
                         ::testing::Values("../escaped.txt", "sub/../../escaped.txt",
                                           "sub\\..\\..\\escaped.txt", "ABSOLUTE", "/escaped.txt",
                                           "\\escaped.txt", "C:\\escaped.txt", "C:escaped.txt",
                                           ""));

// Flips one byte of the stored content so that only the zip's own checksum notices.
void CorruptStoredContent(const fs::path& package, const std::string& content) {
    std::string bytes = ReadFileBytes(package);
    const std::size_t at = bytes.find(content);
    ASSERT_NE(at, std::string::npos);
    bytes[at] ^= 0x01;
    WriteFileBytes(package, bytes);
}

struct FailureCase {
    const char* name;
    std::function<void(const fs::path& package)> build;
    std::string reason;  // what the message says after "could not be unpacked: "
};

class InstallFailureTest : public InstallExtractionTest,
                           public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InstallFailureTest, EndsTheLaunchWithAMessageAndKeepsThePackage) {
    GetParam().build(PackagePath());

    const std::string message = Launch();

    EXPECT_EQ(message,
              std::string("The package prod-7.zip could not be unpacked: ") + GetParam().reason);
    EXPECT_NE(
        SetupLogText().find("throwing ZipException(The package prod-7.zip could not be unpacked"),
        std::string::npos);
    EXPECT_TRUE(fs::exists(PackagePath()));
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(views.languageDialogs, 0);
}

const std::string kMissing = Sha256Of("not in the package");
const std::string kCorrupted = Sha256Of("payload that the checksum protects");
const std::string kContent = Sha256Of("content");

INSTANTIATE_TEST_SUITE_P(
    Packages, InstallFailureTest,
    ::testing::Values(FailureCase{"NoZip",
                                  [](const fs::path& package) {
                                      WriteFileBytes(package, "not a zip file");
                                  },
                                  "it cannot be opened as a zip archive"},
                      FailureCase{"MissingMember",
                                  [](const fs::path& package) {
                                      PackageBuilder()
                                          .ArcInfo(Entries({Entry(kMissing, {"file.txt"})}))
                                          .ArcConfig(kStartAnything)
                                          .Write(package);
                                  },
                                  "the member " + kMissing + " is missing"},
                      FailureCase{"ChecksumError",
                                  [](const fs::path& package) {
                                      PackageBuilder builder;
                                      builder.Stored()
                                          .Add(kCorrupted, "payload that the checksum protects")
                                          .ArcInfo(Entries({Entry(kCorrupted, {"file.txt"})}))
                                          .ArcConfig(kStartAnything)
                                          .Write(package);
                                      CorruptStoredContent(package,
                                                           "payload that the checksum protects");
                                  },
                                  "the member " + kCorrupted + " cannot be read: CRC error"},
                      FailureCase{"EntryWithoutDestination",
                                  [](const fs::path& package) {
                                      PackageBuilder builder;
                                      builder.AddContent("content");
                                      builder.ArcInfo(R"([{"hash":")" + kContent + R"("}])")
                                          .ArcConfig(kStartAnything)
                                          .Write(package);
                                  },
                                  "entry 1 (member " + kContent + ") has no destination"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

}  // namespace
