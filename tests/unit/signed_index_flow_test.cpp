// A launch whose build trusts index signing keys, against the scripted server: the index is used
// only when a trusted key signed a statement that holds for it (this product, these bytes, not
// expired, not older than the publication this user accepted last), and otherwise the launch ends
// before the version dialog, before any download and before any usage event.
#include <gtest/gtest.h>

#include "app/launch_flow.h"
#include "catalogue/index_retrieval.h"
#include "core/base64.h"
#include "core/endpoints.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "support/process_seams.h"
#include "support/scripted_dialogs.h"
#include "support/scripted_server.h"
#include "support/setup_log_reader.h"
#include "support/test_environment.h"
#include "tools/publisher/index_signing.h"

namespace {

constexpr char kIndex[] = R"({"current_release":"1.0","releases":{"1.0":{"release":"One"}}})";
const std::u16string kProduct = u"signed-product";

// The real index station with the test's keys; every later station only records its call.
class SignedStations : public LaunchStations {
  public:
    std::vector<std::string> keys;
    std::vector<std::string> calls;

    std::vector<std::string> IndexKeys() override { return keys; }
    SetupSelection SelectRelease(const ProductCatalog& catalog, const std::string&) override {
        calls.push_back("select " + catalog["current_release"].String());
        SetupSelection selection;
        selection.version = "1.0";
        selection.filename = "one.zip";
        selection.filetype = "arc";
        return selection;
    }
    void SendUsageEvent(const std::u16string&, const std::string&, const std::string& action,
                        const std::string&, std::uint32_t) override {
        calls.push_back(action);
    }
    SetupSelection DownloadArchive(SetupSelection selection) override {
        calls.push_back("download");
        return selection;
    }
    void InstallArchive(SetupSelection) override { calls.push_back("install"); }
};

// A signing key of the publisher's kind, in a folder of the test.
struct TestKey {
    explicit TestKey(const TempDir& dir, const char* name)
        : publicKey(Base64Decode(GenerateSigningKey(dir.path() / name))),
          signer(dir.path() / name) {}
    std::string publicKey;
    IndexSigner signer;
};

class SignedIndexFlowTest : public ::testing::Test {
  protected:
    ScopedSeams mSeams;
    void SetUp() override { mServer.PutObject("signed-product-v2/index", kIndex); }

    // Runs one launch against the scripted server as the entry does; the shown message or "".
    std::string Launch() {
        ScopedEnv endpoint("SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", mServer.Endpoint());
        RunLaunchAndReport(mStations, [] { return kProduct; });
        return mViews.messages.empty() ? std::string() : mViews.messages.back();
    }
    void PutSignature(const std::string& text) {
        mServer.PutObject("signed-product-v2/index.sig", text);
    }
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& request : mServer.Requests()) paths.push_back(request.path);
        return paths;
    }
    // The text of an index.sig that key signs for index.
    std::string Sign(const std::string& index, std::uint64_t sequence = 100,
                     std::optional<std::int64_t> expires = std::nullopt,
                     const std::string& product = "signed-product",
                     const TestKey* key = nullptr) const {
        const IndexStatement statement{product, sequence, expires, HashText(index, "SHA256", true)};
        return (key != nullptr ? key : &mKey)->signer.SignatureText(statement);
    }
    std::filesystem::path Record() const {
        return mDir.path() / "state" / "setup-launcher" / "index-sequence" / "signed-product";
    }

    TempDir mDir;
    ScopedEnv mTmp{"TMPDIR", mDir.path().string()};
    ScopedEnv mState{"XDG_STATE_HOME", (mDir.path() / "state").string()};
    TrustTestAuthority mTrust;
    ScriptedServer mServer;
    ScriptedViews mViews;
    ScopedViews mScoped{mViews};
    SignedStations mStations;
    TestKey mKey{mDir, "current.key"};
};

const std::vector<std::string> kWholeLaunch = {"select 1.0", "begin", "download", "success",
                                               "install"};

TEST_F(SignedIndexFlowTest, IndexVerifiedByATrustedKeyIsUsed) {
    TestKey next(mDir, "next.key");
    // Before and after a rotation: the list names the current and the next key, and either
    // signature is accepted.
    for (const TestKey* signing : {&mKey, &next}) {
        mStations.calls.clear();
        mServer.ClearRequests();
        mStations.keys = {mKey.publicKey, next.publicKey};
        PutSignature(Sign(kIndex, 100, std::nullopt, "signed-product", signing));
        EXPECT_EQ(Launch(), "");
        EXPECT_EQ(mStations.calls, kWholeLaunch);
        EXPECT_EQ(Paths(), (std::vector<std::string>{"/signed-product-v2/index",
                                                     "/signed-product-v2/index.sig"}));
    }
    EXPECT_NE(SetupLogText().find(
                  "): signed-product: release index verified with trusted key 2 of 2\r\n"),
              std::string::npos)
        << SetupLogText();
    EXPECT_EQ(ReadFileBytes(Record()), "100\n");
}

TEST_F(SignedIndexFlowTest, IndexWithoutAValidStatementEndsTheLaunchBeforeTheDialog) {
    TestKey other(mDir, "other.key");
    const std::string notSigned =
        "The release index of signed-product is not signed by its publisher: ";
    const std::string mismatch =
        "The signature of the release index of signed-product does not match: the index was not "
        "signed by its publisher or was changed since";
    std::string changed = kIndex;
    changed[changed.find("One")] = 'A';
    const std::string good = Sign(kIndex);
    // A statement whose signed bytes were altered: one digit of the sequence raised.
    auto decoded = DecodeIndexSignatureText(good);
    ASSERT_TRUE(decoded);
    decoded->statement[decoded->statement.find("sequence 1") + 9] = '9';
    const std::string raised = IndexSignatureText(decoded->statement, decoded->signature);
    struct Case {
        const char* name;
        std::string index;
        std::optional<std::string> signature;  // nullopt: no index.sig (404)
        std::string message;
    };
    const Case cases[] = {
        {"index changed after signing", changed, good,
         "The release index of signed-product was changed after it was signed: its SHA-256 is "
         "not the signed one"},
        {"another product's statement", kIndex,
         Sign(kIndex, 100, std::nullopt, "other\xe2\x80\xae"),
         "The release index served for signed-product was signed for another product: "
         "\"other\\u{202e}\""},
        {"expired", kIndex, Sign(kIndex, 100, 1000000000),
         "The release index of signed-product expired on 2001-09-09 01:46:40 UTC: its publisher "
         "no longer vouches for it"},
        {"replayed", kIndex, Sign(kIndex, 99),
         "The release index of signed-product was replayed: its publication 99 is older than "
         "publication 100, which this launcher has already used"},
        {"statement changed after signing", kIndex, raised, mismatch},
        {"signed with another key", kIndex,
         Sign(kIndex, 100, std::nullopt, "signed-product", &other), mismatch},
        {"bare signature of the index", kIndex, Base64Encode(std::string(64, 'x')),
         notSigned + "index.sig holds no signature"},
        {"truncated", kIndex, good.substr(0, 60), notSigned + "index.sig holds no signature"},
        {"not base64", kIndex, std::string(300, '#'), notSigned + "index.sig holds no signature"},
        {"oversized", kIndex, good + std::string(5000, ' ') + good,
         notSigned + "index.sig holds no signature"},
        {"missing", kIndex, std::nullopt, notSigned + "index.sig is missing"},
    };
    mStations.keys = {mKey.publicKey};
    std::filesystem::create_directories(Record().parent_path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFileBytes(Record(), "100\n");
        mStations.calls.clear();
        mViews.messages.clear();
        mServer.ClearRequests();
        mServer.PutObject("signed-product-v2/index", c.index);
        if (c.signature) {
            PutSignature(*c.signature);
        } else {
            mServer.RemoveObject("signed-product-v2/index.sig");
        }
        EXPECT_EQ(Launch(), c.message);
        EXPECT_TRUE(mStations.calls.empty()) << "no dialog, download or usage event";
        EXPECT_EQ(mViews.versionDialogs, 0);
        EXPECT_NE(SetupLogText().find("throwing DownloadException(" + c.message + ")\r\n"),
                  std::string::npos);
        EXPECT_EQ(ReadFileBytes(Record()), "100\n");
        // index.sig is asked as often as any object: 15 times when it is missing.
        EXPECT_EQ(mServer.RequestCount(), c.signature ? 2u : 16u);
    }
}

TEST_F(SignedIndexFlowTest, HighestAcceptedSequenceIsRememberedAcrossLaunches) {
    mStations.keys = {mKey.publicKey};
    const std::string replayed =
        "The release index of signed-product was replayed: its publication 150 is older than "
        "publication 200, which this launcher has already used";
    struct Step {
        const char* name;
        std::optional<std::string> recordBefore;  // nullopt: no record
        std::uint64_t sequence;
        std::string message;
        std::string recordAfter;
        std::string logged;
    };
    const Step steps[] = {
        {"first launch: no record yet", std::nullopt, 200, "", "200\n",
         "signed-product: no accepted release index sequence in "},
        {"an older publication served again", "200\n", 150, replayed, "200\n", ""},
        {"the same publication again", "200\n", 200, "", "200\n",
         "signed-product: release index publication 200 accepted (highest before: 200)"},
        {"a later publication", "200\n", 300, "", "300\n",
         "signed-product: release index publication 300 accepted (highest before: 200)"},
        {"record unreadable: starts from 0", "30x\n", 5, "", "5\n",
         "cannot be read: starting from 0"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.recordBefore) {
            WriteFileBytes(Record(), *step.recordBefore);
        }
        mStations.calls.clear();
        mViews.messages.clear();
        PutSignature(Sign(kIndex, step.sequence));
        EXPECT_EQ(Launch(), step.message);
        EXPECT_EQ(mStations.calls.empty(), !step.message.empty());
        EXPECT_EQ(ReadFileBytes(Record()), step.recordAfter);
        EXPECT_NE(SetupLogText().find(step.logged), std::string::npos) << SetupLogText();
    }
}

TEST_F(SignedIndexFlowTest, SignatureThatCannotBeDownloadedIsADownloadFailure) {
    mStations.keys = {mKey.publicKey};
    PutSignature(Sign(kIndex));
    mServer.SetHook([](const RecordedRequest& request, Reply& reply) {
        if (request.path == "/signed-product-v2/index.sig") reply = Reply::Status(503);
    });
    EXPECT_EQ(Launch(), "signed-product is not available for download");
    EXPECT_TRUE(mStations.calls.empty());
    EXPECT_EQ(SetupLogText().find("index.sig is missing"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Record()));
}

TEST_F(SignedIndexFlowTest, EmptyKeyListNeverRequestsTheSignature) {
    PutSignature("not even a signature");
    EXPECT_EQ(Launch(), "");
    EXPECT_EQ(mStations.calls, kWholeLaunch);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/signed-product-v2/index"}));
    EXPECT_EQ(SetupLogText().find("verified"), std::string::npos);
}

TEST_F(SignedIndexFlowTest, SignedIndexThatIsNoJsonIsNotAvailable) {
    mServer.PutObject("signed-product-v2/index", "{cut off");
    PutSignature(Sign("{cut off"));
    mStations.keys = {mKey.publicKey};
    EXPECT_EQ(Launch(), "signed-product is not available for download");
    EXPECT_TRUE(mStations.calls.empty());
    EXPECT_FALSE(std::filesystem::exists(Record())) << "an index that is not used is not counted";
}

}  // namespace
