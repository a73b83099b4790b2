// The endpoints of the stores and the fetch of a product's release index.
#include <gtest/gtest.h>

#include "catalogue/index_retrieval.h"
#include "core/endpoints.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "support/process_seams.h"
#include "support/scripted_server.h"
#include "support/test_environment.h"

namespace {

TEST(IndexEndpointTest, ParsesSchemeHostAndPort) {
    struct Case {
        const char* text;
        std::optional<Endpoint> expected;
    };
    const std::vector<Case> cases = {
        {"https://devstoreaccount1.blob.localhost:10000",
         Endpoint{u"devstoreaccount1.blob.localhost", 10000, true}},
        {"https://localhost:8080/", Endpoint{u"localhost", 8080, true}},
        {"http://localhost:8080", std::nullopt},
        {"HTTP://store.example", std::nullopt},
        {"HTTPS://store.example", Endpoint{u"store.example", 0, true}},
        {"https://[::1]:443", Endpoint{u"[::1]", 443, true}},
        {"ftp://store.example", std::nullopt},
        {"store.example:443", std::nullopt},
        {"https://", std::nullopt},
        {"https://host:0", std::nullopt},
        {"https://host:65536", std::nullopt},
        {"https://host:12ab", std::nullopt},
        {"https://host/path", std::nullopt},
        {"https://user@host", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parsed = ParseEndpoint(c.text);
        ASSERT_EQ(parsed.has_value(), c.expected.has_value());
        if (!parsed) continue;
        EXPECT_EQ(parsed->host, c.expected->host);
        EXPECT_EQ(parsed->port, c.expected->port);
        EXPECT_TRUE(parsed->secure);
    }
}

TEST(IndexEndpointTest, EnvironmentOverridesTheBuiltInValue) {
    {
        ScopedEnv download("SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", "https://127.0.0.1:9000");
        ScopedEnv table("SETUP_LAUNCHER_TABLE_ENDPOINT", "https://tables.localhost:9001");
        EXPECT_EQ(ConfiguredDownloadEndpoint().host, u"127.0.0.1");
        EXPECT_EQ(ConfiguredDownloadEndpoint().port, 9000);
        EXPECT_EQ(ConfiguredTableEndpoint().host, u"tables.localhost");
        EXPECT_EQ(ConfiguredTableEndpoint().port, 9001);
    }
    ScopedEnv download("SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", std::nullopt);
    ScopedEnv table("SETUP_LAUNCHER_TABLE_ENDPOINT", "");
    EXPECT_FALSE(ConfiguredDownloadEndpoint().host.empty());
    EXPECT_FALSE(ConfiguredTableEndpoint().host.empty());
}

// A refused override never falls back to the built-in store: that would send the requests
// somewhere the user did not ask for.
TEST(IndexEndpointTest, RefusedOverrideFailsInsteadOfFallingBack) {
    struct Case {
        const char* variable;
        const char* value;
        std::string shown;
        Endpoint (*configured)();
    };
    const std::vector<Case> cases = {
        {"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", "http://127.0.0.1:9000", "http://127.0.0.1:9000",
         ConfiguredDownloadEndpoint},
        {"SETUP_LAUNCHER_TABLE_ENDPOINT", "http://tables.localhost", "http://tables.localhost",
         ConfiguredTableEndpoint},
        {"SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", "not an endpoint", "not an endpoint",
         ConfiguredDownloadEndpoint},
        {"SETUP_LAUNCHER_TABLE_ENDPOINT", "https://host\x1b[2J", "https://host\\x1b[2J",
         ConfiguredTableEndpoint},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ScopedEnv variable(c.variable, c.value);
        try {
            c.configured();
            ADD_FAILURE() << "no exception";
        } catch (const DownloadException& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string(c.variable) + " \"" + c.shown +
                          "\" is no https://host[:port]; the stores are reached over HTTPS only");
        }
    }
}

class IndexRetrievalTest : public ::testing::Test {
  protected:
    ScopedSeams mSeams;
    void SetUp() override { DownloadHost = *ParseEndpoint(mServer.Endpoint()); }

    TrustTestAuthority mTrust;
    ScriptedServer mServer;
};

TEST_F(IndexRetrievalTest, RequestsTheIndexObjectOfTheProductUnchanged) {
    for (const std::u16string product : {u"tarnwick-x64-sql", u"Tarnwick-X64-SQL"}) {
        mServer.ClearRequests();
        mServer.PutObject(ToUtf8(product) + "-v2/index", R"({"current_release":"2024.1"})");
        std::string error = "untouched";
        const ProductCatalog catalog = FetchReleaseIndex(product, error);
        EXPECT_EQ(catalog["current_release"].String(), "2024.1");
        EXPECT_EQ(error, "untouched");
        const auto requests = mServer.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, "GET");
        EXPECT_EQ(requests[0].target, "/" + ToUtf8(product) + "-v2/index");
        EXPECT_EQ(requests[0].Header("Range"), std::nullopt);
    }
    EXPECT_EQ(ReleaseIndexPath(u"tarnwick-x64-sql"), u"tarnwick-x64-sql-v2/index");
}

TEST_F(IndexRetrievalTest, MissingIndexIsNullAfterAllAttempts) {
    std::string error = "untouched";
    EXPECT_TRUE(FetchReleaseIndex(u"tarnwick-x64-sql", error).IsNull());
    EXPECT_EQ(mServer.RequestCount(), 15u);
    EXPECT_EQ(error, "untouched");
}

TEST_F(IndexRetrievalTest, BodiesParseStrictly) {
    struct Case {
        const char* name;
        std::string body;
        bool isNull, isObject, errorSet;
    };
    const std::vector<Case> cases = {
        {"empty object", "{}", false, true, false},
        {"comment", "{\"current_release\":\"1\"} // newest", true, false, true},
        {"empty body", "", true, false, true},
        {"cut off", "{\"releases\":{\"1\":", true, false, true},
        {"literal null", "null", true, false, false},
        {"array", "[1,2]", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mServer.PutObject("p-v2/index", c.body);
        std::string error;
        const ProductCatalog catalog = FetchReleaseIndex(u"p", error);
        EXPECT_EQ(catalog.IsNull(), c.isNull);
        EXPECT_EQ(catalog.IsObject(), c.isObject);
        EXPECT_EQ(!error.empty(), c.errorSet);
        if (c.isObject) {
            EXPECT_TRUE(catalog.Members().empty());
        }
    }
}

}  // namespace
