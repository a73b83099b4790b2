// setup-publisher, run as a process the way publishers use it: packages it writes, the index
// entries it stages as the launcher's catalogue reads them, and what verify finds in a store.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "catalogue/release_selection.h"
#include "core/hash_context.h"
#include "core/json_reader.h"
#include "core/text_conversion.h"
#include "install/archive.h"
#include "install/archive_descriptors.h"
#include "support/package_builder.h"
#include "support/publisher_process.h"
#include "support/scripted_dialogs.h"
#include "support/scripted_server.h"
#include "support/test_environment.h"
#include "ui/version_selection.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kBlock = 64 * 1024;
const std::string kProduct = "tarnwick-x64-sql";

std::string PseudoRandomBytes(std::size_t length, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    WriteFileBytes(path, content);
}

// A product folder: two files with equal content, a subfolder, incompressible and compressible
// data and a setup program. reversed writes the same files in the opposite order.
void MakeProductFolder(const fs::path& folder, bool reversed = false) {
    std::vector<std::pair<std::string, std::string>> files = {
        {"readme.txt", "Tarnwick\n"},
        {"docs/readme-copy.txt", "Tarnwick\n"},
        {"data/random.bin", PseudoRandomBytes(150000, 7)},
        {"data/table.csv", std::string(60000, 'a') + "\n"},
        {"setup.sh", "#!/bin/sh\necho setup\n"},
    };
    if (reversed) {
        std::reverse(files.begin(), files.end());
    }
    for (const auto& [name, content] : files) {
        WriteFile(folder / name, content);
    }
    fs::permissions(folder / "setup.sh", fs::perms::owner_exec, fs::perm_options::add);
}

std::vector<std::string> MemberNames(zip_t* archive) {
    std::vector<std::string> names;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        names.push_back(zip_get_name(archive, static_cast<zip_uint64_t>(i), 0));
    }
    return names;
}

std::string MemberText(zip_t* archive, const std::string& name) {
    zip_stat_t stat;
    EXPECT_EQ(zip_stat(archive, name.c_str(), 0, &stat), 0) << name;
    std::string text(stat.size, '\0');
    zip_file_t* file = zip_fopen(archive, name.c_str(), 0);
    EXPECT_NE(file, nullptr) << name;
    EXPECT_EQ(zip_fread(file, text.data(), text.size()), static_cast<zip_int64_t>(text.size()));
    zip_fclose(file);
    return text;
}

// Whether one of the report's fault lines holds the text.
bool ReportsFault(const std::string& report, const std::string& text) {
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("  FAULT: ", 0) == 0 && line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class PublisherTest : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    fs::path staging = dir.path() / "staging";

    PublisherRun Pack(const fs::path& folder, const fs::path& output,
                      const std::string& startCommands) {
        const fs::path commands = output.string() + ".commands";
        WriteFile(commands, startCommands);
        return RunPublisher({"pack", folder.string(), "-o", output.string(), "--start-commands",
                             commands.string()});
    }

    PublisherRun Release(const fs::path& file, const std::vector<std::string>& options) {
        std::vector<std::string> arguments = {"release",        file.string(), "--staging",
                                              staging.string(), "--product",   kProduct,
                                              "--block-size",   "64KiB"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return RunPublisher(arguments);
    }

    fs::path IndexFile() const { return staging / (kProduct + "-v2") / "index"; }
};

TEST_F(PublisherTest, PackGivesTheSameBytesForTheSameContent) {
    MakeProductFolder(dir.path() / "one");
    MakeProductFolder(dir.path() / "two", true);
    // Other times and creation order must not show in the package.
    fs::last_write_time(
        dir.path() / "two" / "readme.txt",
        fs::last_write_time(dir.path() / "two" / "readme.txt") - std::chrono::hours(24 * 400));
    const std::string commands = "* * setup.sh\n";
    ASSERT_EQ(Pack(dir.path() / "one", dir.path() / "a.zip", commands).exitCode, 0);
    ASSERT_EQ(Pack(dir.path() / "one", dir.path() / "b.zip", commands).exitCode, 0);
    ASSERT_EQ(Pack(dir.path() / "two", dir.path() / "c.zip", commands).exitCode, 0);
    const std::string a = ReadFileBytes(dir.path() / "a.zip");
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, ReadFileBytes(dir.path() / "b.zip"));
    EXPECT_EQ(a, ReadFileBytes(dir.path() / "c.zip"));
}

TEST_F(PublisherTest, PackStoresEachContentOnceUnderItsDigest) {
    MakeProductFolder(dir.path() / "in");
    const PublisherRun run = Pack(dir.path() / "in", dir.path() / "p.zip",
                                  "# ours\nde x64 setup.sh\n\nen x64 setup.sh\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");  // no progress bar when standard error is no terminal

    ArchiveHandle archive = OpenArchive(ToUtf16((dir.path() / "p.zip").string()));
    ASSERT_TRUE(archive);
    const std::vector<std::string> names = MemberNames(archive.get());
    // Five files, four distinct contents, two descriptors.
    EXPECT_EQ(names.size(), 6u);
    for (const std::string& name : names) {
        if (name == "arcinfo.json" || name == "arcconfig.json") {
            continue;
        }
        EXPECT_EQ(Sha256Of(MemberText(archive.get(), name)), name);
    }

    // The launcher's own descriptor reading.
    std::map<std::string, std::vector<std::u16string>> destinations;
    for (const ArcInfoEntry& entry : ReadArcInfo(archive.get())) {
        destinations[entry.hash] = entry.destinations;
    }
    EXPECT_EQ(destinations.size(), 4u);
    EXPECT_EQ(destinations[Sha256Of("Tarnwick\n")],
              (std::vector<std::u16string>{u"docs\\readme-copy.txt", u"readme.txt"}));
    EXPECT_EQ(destinations[Sha256Of(PseudoRandomBytes(150000, 7))],
              (std::vector<std::u16string>{u"data\\random.bin"}));
    EXPECT_EQ(ReadStartCommands(archive.get()),
              (std::vector<StartCommand>{{"de", "x64", "setup.sh"}, {"en", "x64", "setup.sh"}}));

    // Deflate where it helps, stored where it does not.
    zip_stat_t stat;
    ASSERT_EQ(zip_stat(archive.get(), Sha256Of(std::string(60000, 'a') + "\n").c_str(), 0, &stat),
              0);
    EXPECT_EQ(stat.comp_method, ZIP_CM_DEFLATE);
    ASSERT_EQ(zip_stat(archive.get(), Sha256Of(PseudoRandomBytes(150000, 7)).c_str(), 0, &stat), 0);
    EXPECT_EQ(stat.comp_method, ZIP_CM_STORE);
    EXPECT_EQ(stat.comp_size, stat.size);
}

TEST_F(PublisherTest, PackRefusesBadInput) {
    MakeProductFolder(dir.path() / "in");
    struct Case {
        std::string commands;
        std::string message;
    };
    const Case cases[] = {
        {"* X64 setup.sh\n", "bitness must be *, x64 or x86"},
        {"DE * setup.sh\n", "language must be *, de or en"},
        {"* *\n", "expected \"language bitness command\""},
        {"* * ../setup.sh\n", "must be a path inside the package"},
        {"* * install.sh\n", "install.sh names no file of the folder"},
    };
    for (const Case& c : cases) {
        const PublisherRun run = Pack(dir.path() / "in", dir.path() / "p.zip", c.commands);
        EXPECT_EQ(run.exitCode, 1) << c.commands;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.commands << run.err;
        EXPECT_FALSE(fs::exists(dir.path() / "p.zip")) << c.commands;
    }

    const PublisherRun inside = Pack(dir.path() / "in", dir.path() / "in" / "p.zip", "");
    EXPECT_EQ(inside.exitCode, 1);
    EXPECT_NE(inside.err.find("would be written into the folder it packs"), std::string::npos)
        << inside.err;
}

TEST_F(PublisherTest, ReleaseReadsBackThroughTheCatalogue) {
    MakeProductFolder(dir.path() / "in");
    ASSERT_EQ(Pack(dir.path() / "in", dir.path() / "de.zip", "de x64 setup.sh\n").exitCode, 0);
    WriteFile(dir.path() / "en.zip", PseudoRandomBytes(3 * kBlock + 5, 3));
    WriteFile(dir.path() / "old.iso", PseudoRandomBytes(kBlock, 4));
    ASSERT_EQ(Release(dir.path() / "de.zip", {"--release", "2024.1", "--text", "Tarnwick 2024.1",
                                              "--language", "de-DE", "--current"})
                  .exitCode,
              0);
    ASSERT_EQ(Release(dir.path() / "en.zip",
                      {"--release", "2024.1", "--text", "Tarnwick 2024.1", "--language", "en-US"})
                  .exitCode,
              0);
    const PublisherRun iso = Release(
        dir.path() / "old.iso", {"--release", "2023.0", "--type", "iso", "--required-setup", "4"});
    ASSERT_EQ(iso.exitCode, 0) << iso.err;
    EXPECT_NE(iso.out.find("2024.1  \"Tarnwick 2024.1\"  languages: de-DE en-US"),
              std::string::npos)
        << iso.out;

    ScopedEnv home{"HOME", dir.path().string()};
    ScopedEnv xdg{"XDG_DOWNLOAD_DIR", std::nullopt};
    ScriptedViews views;
    ScopedViews scoped{views};
    const ProductCatalog catalog = JsonValue::Parse(ReadFileBytes(IndexFile()));
    ASSERT_TRUE(catalog.IsObject());

    views.onVersion = [](VersionSelectionDlg& dialog) {
        EXPECT_EQ(dialog.Choices().size(), 2u);
        EXPECT_EQ(dialog.LanguageCodes(), (std::vector<std::string>{"de-DE", "en-US"}));
        dialog.OnOK(1, false);
        return true;
    };
    const SetupSelection en = SelectRelease(catalog, kProduct);
    EXPECT_EQ(en.version, "2024.1");
    EXPECT_EQ(en.containername, kProduct);
    EXPECT_EQ(en.filename, "tarnwick-x64-sql-2024.1-en-US.zip");
    EXPECT_EQ(en.filetype, "arc");
    EXPECT_EQ(en.filesize, 3 * kBlock + 5);
    EXPECT_EQ(en.blocksize, kBlock);
    EXPECT_EQ(en.hash, Sha256FileHex(ToUtf16((dir.path() / "en.zip").string())));
    EXPECT_EQ(en.required_setup, 5u);
    EXPECT_EQ(en.blockhash, "tarnwick-x64-sql-2024.1-en-US.zip.blockhash.json");
    // The digest list beside the staged file: one MD5 per block, the last one short.
    const std::string content = ReadFileBytes(dir.path() / "en.zip");
    std::vector<std::string> expected;
    for (std::uint64_t from = 0; from < content.size(); from += kBlock) {
        expected.push_back(Md5Hex(std::string_view(content).substr(from, kBlock)));
    }
    const JsonValue list =
        JsonValue::Parse(ReadFileBytes(staging / en.containername / en.blockhash));
    std::vector<std::string> listed;
    for (const JsonValue& entry : list.Elements()) {
        listed.push_back(entry.String());
    }
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(ReadFileBytes(staging / en.containername / en.filename), content);

    views.onVersion = [](VersionSelectionDlg& dialog) {
        dialog.OnVersionChanged(1);
        EXPECT_FALSE(dialog.LanguageListVisible());
        dialog.OnOK(-1, false);
        return true;
    };
    const SetupSelection old = SelectRelease(catalog, kProduct);
    EXPECT_EQ(old.version, "2023.0");
    EXPECT_EQ(old.filetype, "iso");
    EXPECT_EQ(old.filename, "tarnwick-x64-sql-2023.0.iso");
    EXPECT_EQ(old.filesize, kBlock);
    EXPECT_EQ(old.required_setup, 4u);
}

TEST_F(PublisherTest, ReleaseReplacesOneLanguageEditionAndKeepsTheOthers) {
    WriteFile(dir.path() / "a.zip", "first");
    WriteFile(dir.path() / "b.zip", "second, longer");
    ASSERT_EQ(Release(dir.path() / "a.zip", {"-r", "2024.1", "-l", "de-DE", "--current"}).exitCode,
              0);
    ASSERT_EQ(Release(dir.path() / "a.zip", {"-r", "2024.1", "-l", "en-US"}).exitCode, 0);
    ASSERT_EQ(Release(dir.path() / "b.zip", {"-r", "2024.1", "-l", "en-US", "-t", "New"}).exitCode,
              0);
    const nlohmann::json index = nlohmann::json::parse(ReadFileBytes(IndexFile()));
    const nlohmann::json& release = index["releases"]["2024.1"];
    EXPECT_EQ(release["release"], "New");
    EXPECT_EQ(release["languages"]["de-DE"]["filesize"], 5);
    EXPECT_EQ(release["languages"]["en-US"]["filesize"], 14);
    EXPECT_EQ(index["current_release"], "2024.1");
}

TEST_F(PublisherTest, ReleaseRefusesUnusableInputAndLeavesTheIndexAlone) {
    WriteFile(dir.path() / "a.zip", "content");
    ASSERT_EQ(Release(dir.path() / "a.zip", {"-r", "2024.1", "--current"}).exitCode, 0);
    const std::string index = ReadFileBytes(IndexFile());
    struct Case {
        std::vector<std::string> options;
        std::string message;
    };
    const Case cases[] = {
        {{"-r", "2024.1beta"}, "release key \"2024.1beta\" is not usable"},
        {{"-r", "2024.2", "-l", "de_DE!"}, "is not a locale name"},
        {{"-r", "2024.2", "--container", "Tarnwick"}, "container \"Tarnwick\" is not usable"},
        {{"-r", "2024.2", "--container", "tarnwick-x64-sql-v2"}, "reserved for the index"},
        {{"-r", "2024.2", "--filename", "../a.zip"}, "file name \"../a.zip\" is not usable"},
        {{"-r", "2024.2", "--block-size", "0"}, "block size must be greater than 0"},
        {{"-r", "2024.1", "-l", "de-DE", "--container", "other"},
         "keeps its other editions in container \"tarnwick-x64-sql\""},
    };
    for (const Case& c : cases) {
        const PublisherRun run = Release(dir.path() / "a.zip", c.options);
        EXPECT_EQ(run.exitCode, 1) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.message << "\n" << run.err;
        EXPECT_EQ(ReadFileBytes(IndexFile()), index) << c.message;
    }

    const PublisherRun product = RunPublisher({"release", (dir.path() / "a.zip").string(), "-s",
                                               staging.string(), "-p", "Tarnwick", "-r", "1.0"});
    EXPECT_EQ(product.exitCode, 1);
    EXPECT_NE(product.err.find("product \"Tarnwick\" is not usable"), std::string::npos);

    // An index the tool cannot read is never overwritten.
    WriteFileBytes(IndexFile(), "{\"releases\": {} // edited by hand\n}");
    const PublisherRun broken = Release(dir.path() / "a.zip", {"-r", "2024.2"});
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_NE(broken.err.find("is not valid JSON"), std::string::npos) << broken.err;
    EXPECT_EQ(ReadFileBytes(IndexFile()), "{\"releases\": {} // edited by hand\n}");
}

// A store override of another scheme fails the command; nothing falls back to the built-in store.
TEST_F(PublisherTest, RefusesEndpointOverridesOtherThanHttps) {
    struct Case {
        const char* variable;
        std::vector<std::string> arguments;
    };
    const std::vector<Case> cases = {
        {"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", {"verify", "--product", kProduct}},
        {"SETUP_LAUNCHER_TABLE_ENDPOINT", {"report", "--sas", "sv=2019&sig=x"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable);
        ScopedEnv variable(c.variable, "http://127.0.0.1:1");
        const PublisherRun run = RunPublisher(c.arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "setup-publisher: " + std::string(c.variable) +
                               " \"http://127.0.0.1:1\" is no https://host[:port]; the stores "
                               "are reached over HTTPS only\n");
    }
    const PublisherRun option = RunPublisher({"verify", "-p", kProduct, "-e", "http://h:1"});
    EXPECT_EQ(option.exitCode, 1);
    EXPECT_EQ(option.err,
              "setup-publisher: endpoint must look like https://host[:port], not "
              "http://h:1\n");
}

// The report's days are exactly YYYY-MM-DD from 1970 to 9999; anything else is one line and the
// usage exit code, before any store is asked.
TEST_F(PublisherTest, ReportRefusesDaysNotOfTheFormYYYYMMDD) {
    for (const char* day : {"+202-03-01", "-001-03-01", "2024-03- 1", "2024-3-01", "2024-02-30",
                            "1969-12-31", "10000-01-01", "2024/03/01", ""}) {
        for (const char* option : {"--since", "--until"}) {
            SCOPED_TRACE(std::string(option) + " " + day);
            const PublisherRun run = RunPublisher({"report", option, day, "--sas", "sv=1&sig=x"});
            EXPECT_EQ(run.exitCode, 2);
            EXPECT_EQ(run.err, "setup-publisher: " + std::string(option) +
                                   " must be a day of the form YYYY-MM-DD from 1970 to 9999, "
                                   "not \"" +
                                   day + "\"\n");
        }
    }
}

// A product staged with every kind of release, served by the scripted store.
class PublisherVerifyTest : public PublisherTest {
  protected:
    // The test authority's file must outlive every test's temporary folder.
    static void SetUpTestSuite() { TestPki::Shared(); }

    ScriptedServer server;
    TrustTestAuthority trust;
    ScopedEnv endpoint{"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", server.Endpoint()};

    void SetUp() override {
        MakeProductFolder(dir.path() / "in");
        ASSERT_EQ(Pack(dir.path() / "in", dir.path() / "de.zip", "de * setup.sh\n").exitCode, 0);
        ASSERT_EQ(Pack(dir.path() / "in", dir.path() / "en.zip", "en * setup.sh\n").exitCode, 0);
        ASSERT_EQ(Pack(dir.path() / "in", dir.path() / "old.zip", "* * setup.sh\n").exitCode, 0);
        WriteFile(dir.path() / "disc.iso", PseudoRandomBytes(2 * kBlock + 1, 9));
        ASSERT_EQ(
            Release(dir.path() / "de.zip", {"-r", "2024.1", "-l", "de-DE", "--current"}).exitCode,
            0);
        ASSERT_EQ(Release(dir.path() / "en.zip", {"-r", "2024.1", "-l", "en-US"}).exitCode, 0);
        ASSERT_EQ(Release(dir.path() / "old.zip", {"-r", "2023.0"}).exitCode, 0);
        ASSERT_EQ(Release(dir.path() / "disc.iso", {"-r", "2024.0", "--type", "iso"}).exitCode, 0);
    }

    std::vector<std::string> published;

    // Serves the staging folder object for object.
    void Publish() {
        for (const auto& entry : fs::recursive_directory_iterator(staging)) {
            if (entry.is_regular_file()) {
                published.push_back(entry.path().lexically_relative(staging).generic_string());
                server.PutObject(published.back(), ReadFileBytes(entry.path()));
            }
        }
    }

    void Unpublish() {
        for (const std::string& object : published) {
            server.RemoveObject(object);
        }
        published.clear();
    }

    fs::path Staged(const std::string& name) const { return staging / kProduct / name; }

    void EditIndex(const std::function<void(nlohmann::json&)>& edit) {
        nlohmann::json index = nlohmann::json::parse(ReadFileBytes(IndexFile()));
        edit(index);
        WriteFileBytes(IndexFile(), index.dump());
    }
};

TEST_F(PublisherVerifyTest, PassesAGoodProduct) {
    Publish();
    const PublisherRun run = RunPublisher({"verify", "--product", kProduct});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("2024.1 en-US (arc) tarnwick-x64-sql/tarnwick-x64-sql-2024.1-en-US.zip: "
                           "ok"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("All 4 editions verified."), std::string::npos) << run.out;
    // The index was read as the launcher reads it: anonymously, whole, by its object path.
    const auto requests = server.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().target, "/tarnwick-x64-sql-v2/index");
    for (const RecordedRequest& request : requests) {
        EXPECT_FALSE(request.Header("Authorization")) << request.target;
    }
}

TEST_F(PublisherVerifyTest, NamesEachFault) {
    const std::string oldZip = "tarnwick-x64-sql-2023.0.zip";
    struct Case {
        const char* name;
        std::function<void()> spoil;
        std::string message;
    };
    const Case cases[] = {
        {"corrupted block",
         [&] {
             std::string bytes = ReadFileBytes(Staged(oldZip));
             bytes[kBlock + 10] = static_cast<char>(bytes[kBlock + 10] ^ 0x55);
             WriteFileBytes(Staged(oldZip), bytes);
         },
         "block 1 has the MD5"},
        {"digest list one entry short",
         [this] {
             const fs::path file = Staged("tarnwick-x64-sql-2024.0.iso.blockhash.json");
             auto list = nlohmann::json::parse(ReadFileBytes(file));
             list.erase(list.size() - 1);
             WriteFileBytes(file, list.dump());
         },
         "the digest list has 2 entries, but filesize 131073 in blocks of 65536 makes 3"},
        {"wrong size",
         [this] {
             EditIndex([](nlohmann::json& index) {
                 auto& size = index["releases"]["2024.0"]["filesize"];
                 size = size.get<std::uint64_t>() - 1;
             });
         },
         "the release file has 131073 bytes, but \"filesize\" says 131072"},
        {"wrong whole-file digest",
         [this] {
             EditIndex([](nlohmann::json& index) {
                 index["releases"]["2024.1"]["languages"]["en-US"]["hash"] = std::string(64, 'a');
             });
         },
         "but \"hash\" says " + std::string(64, 'a')},
        {"missing object", [this] { fs::remove(Staged("tarnwick-x64-sql-2024.1-de-DE.zip")); },
         "the release file tarnwick-x64-sql/tarnwick-x64-sql-2024.1-de-DE.zip cannot be read"},
        {"member not matching its name",
         [this] {
             PackageBuilder package;
             const std::string named = Sha256Of("the setup\n");
             package.Add(named, "another setup\n")
                 .ArcInfo(R"([{"hash": ")" + named + R"(", "dst": ["setup.sh"]}])")
                 .ArcConfig(R"({"startCommands": [{"language": "*", "bitness": "*",
                                                   "command": "setup.sh"}]})");
             package.Write(dir.path() / "tampered.zip");
             ASSERT_EQ(Release(dir.path() / "tampered.zip", {"-r", "2023.0"}).exitCode, 0);
         },
         "does not match its name: its content has the SHA-256 " + Sha256Of("another setup\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir copy;
        fs::copy(staging, copy.path() / "staging", fs::copy_options::recursive);
        c.spoil();
        Publish();
        const PublisherRun run = RunPublisher({"verify", "--product", kProduct});
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_TRUE(ReportsFault(run.out, c.message)) << run.out;
        // Back to the good product for the next case.
        Unpublish();
        fs::remove_all(staging);
        fs::copy(copy.path() / "staging", staging, fs::copy_options::recursive);
    }
}

}  // namespace
