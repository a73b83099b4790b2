// A launch whose build trusts index signing keys, against the scripted server: the index is used
// only when a trusted key verifies it, and otherwise the launch ends before the version dialog,
// before any download and before any usage event.
#include <gtest/gtest.h>

#include "app/launch_flow.h"
#include "catalogue/index_retrieval.h"
#include "core/base64.h"
#include "core/endpoints.h"
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

    TempDir mDir;
    ScopedEnv mTmp{"TMPDIR", mDir.path().string()};
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
        PutSignature(signing->signer.SignatureText(kIndex));
        EXPECT_EQ(Launch(), "");
        EXPECT_EQ(mStations.calls, kWholeLaunch);
        EXPECT_EQ(Paths(), (std::vector<std::string>{"/signed-product-v2/index",
                                                     "/signed-product-v2/index.sig"}));
    }
    EXPECT_NE(SetupLogText().find(
                  "): signed-product: release index verified with trusted key 2 of 2\r\n"),
              std::string::npos)
        << SetupLogText();
}

TEST_F(SignedIndexFlowTest, IndexWithoutAValidSignatureEndsTheLaunchBeforeTheDialog) {
    TestKey other(mDir, "other.key");
    const std::string notSigned =
        "The release index of signed-product is not signed by its publisher: ";
    const std::string mismatch =
        "The signature of the release index of signed-product does not match: the index was not "
        "signed by its publisher or was changed since";
    std::string changed = kIndex;
    changed[changed.find("One")] = 'A';
    const std::string good = mKey.signer.SignatureText(kIndex);
    struct Case {
        const char* name;
        std::string index;
        std::optional<std::string> signature;  // nullopt: no index.sig (404)
        std::string message;
    };
    const Case cases[] = {
        {"one byte changed", changed, good, mismatch},
        {"signed with another key", kIndex, other.signer.SignatureText(kIndex), mismatch},
        {"truncated signature", kIndex, good.substr(0, 60),
         notSigned + "index.sig holds no signature"},
        {"not base64", kIndex,
         std::string(86, '#') + "==", notSigned + "index.sig holds no signature"},
        {"oversized", kIndex, good + std::string(5000, ' ') + good,
         notSigned + "index.sig holds no signature"},
        {"missing", kIndex, std::nullopt, notSigned + "index.sig is missing"},
    };
    mStations.keys = {mKey.publicKey};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
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
        // index.sig is asked as often as any object: 15 times when it is missing.
        EXPECT_EQ(mServer.RequestCount(), c.signature ? 2u : 16u);
    }
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
    PutSignature(mKey.signer.SignatureText("{cut off"));
    mStations.keys = {mKey.publicKey};
    EXPECT_EQ(Launch(), "signed-product is not available for download");
    EXPECT_TRUE(mStations.calls.empty());
}

}  // namespace
