// The HTTP client against the scripted server: ranges, bodies, the attempt loop, decoding,
// certificate checks and time-outs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/http_transfer.h"
#include "net/http_transport.h"
#include "support/process_seams.h"
#include "support/scripted_server.h"

namespace {

using namespace std::chrono_literals;

// A stall the client gives up on long before the server ends it. Only the tests about stalls
// shorten the client's limit, so a slow machine does not turn other answers into time-outs.
constexpr auto kClientStallLimit = 500ms;
constexpr auto kServerStall = 10000ms;

class HttpTransferTest : public ::testing::Test {
  protected:
    ScopedSeams mSeams;
    void SetUp() override { SetHttpTimeLimits({10000ms, 10000ms}); }
    void ShortenStallLimit() { SetHttpTimeLimits({10000ms, kClientStallLimit}); }

    bool Get(ScriptedServer& server, const std::u16string& path, std::string& out,
             std::optional<ByteRange> range = std::nullopt) {
        return HttpGetText(server.Host(), path, out, range, server.Secure(), server.Port());
    }

    TrustTestAuthority mTrust;
};

std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return text;
}

TEST_F(HttpTransferTest, RangesAskForInclusiveBytesAndAcceptShortAnswers) {
    struct Case {
        std::optional<ByteRange> range;
        std::optional<std::string> rangeHeader;
        std::string body;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, "0123456789"},
        {ByteRange{0, 0}, "bytes=0-0", "0"},  // the first byte alone is a range like any other
        {ByteRange{0, 9}, "bytes=0-9", "0123456789"},
        {ByteRange{2, 4}, "bytes=2-4", "234"},
        {ByteRange{8, 11}, "bytes=8-11", "89"},  // a short 206 at the end of the object
    };
    ScriptedServer server;
    server.PutObject("c/object", "0123456789");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rangeHeader.value_or("whole"));
        server.ClearRequests();
        std::string body;
        EXPECT_TRUE(Get(server, u"c/object", body, c.range));
        EXPECT_EQ(body, c.body);
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].Header("Range"), c.rangeHeader);
    }
}

TEST_F(HttpTransferTest, RangeIgnoredByTheServerGivesTheWholeObjectWhenItFitsTheRange) {
    // A whole object longer than the range is a failed attempt (http_hostile_test.cpp).
    ScriptedServer server;
    server.PutObject("c/object", "0123456789");
    server.SetIgnoreRanges(true);
    std::string body;
    EXPECT_TRUE(Get(server, u"c/object", body, ByteRange{0, 15}));
    EXPECT_EQ(body, "0123456789");
    EXPECT_EQ(server.Requests().at(0).Header("Range"), "bytes=0-15");
}

TEST_F(HttpTransferTest, RequestTargetHasExactlyOneLeadingSlash) {
    ScriptedServer server(ScriptedServer::Options{.secure = false});
    server.Enqueue({Reply::Status(200), Reply::Status(200)});
    std::string body;
    EXPECT_TRUE(Get(server, u"container/name", body));
    EXPECT_TRUE(HttpPost(server.Host(), u"/downloads", false, server.Port(), {}, "{}"));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/container/name");
    EXPECT_EQ(requests[1].target, "/downloads");
}

TEST_F(HttpTransferTest, BodyGoesOnlyWithANonEmptyPost) {
    ScriptedServer server;
    server.Enqueue({Reply::Status(200), Reply::Status(200), Reply::Status(200)});
    const std::vector<std::u16string> none;
    EXPECT_TRUE(HttpRequest(server.Host(), u"c/get", true, server.Port(), DiscardBody(),
                            HttpVerb::Get, none, std::nullopt, "not sent"));
    EXPECT_TRUE(HttpPost(server.Host(), u"c/empty", true, server.Port(), none, ""));
    EXPECT_TRUE(HttpPost(server.Host(), u"c/full", true, server.Port(),
                         {u"Content-Type: application/json"}, "{\"a\":1}"));

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].body, "");
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].body, "");
    EXPECT_EQ(requests[1].Header("Content-Type"), std::nullopt);  // none the caller did not give
    EXPECT_EQ(requests[2].body, "{\"a\":1}");
    EXPECT_EQ(requests[2].Header("Content-Type"), "application/json");
    EXPECT_EQ(requests[2].Header("Expect"), std::nullopt);
}

std::vector<int> Then(std::vector<int> statuses, int last) {
    statuses.push_back(last);
    return statuses;
}

TEST_F(HttpTransferTest, StatusSequencesDecideTheAttempts) {
    struct Case {
        const char* name;
        HttpVerb verb;
        std::vector<int> statuses;  // answered in order; 404 once they run out (no such object)
        bool result;
        std::size_t requests;
    };
    const std::vector<Case> cases = {
        {"404 throughout", HttpVerb::Get, {}, false, 15},
        {"fourteen 404, then 200", HttpVerb::Get, Then(std::vector<int>(14, 404), 200), true, 15},
        {"407 answer without transfer error", HttpVerb::Get, std::vector<int>(15, 407), false, 15},
        {"500 then 206", HttpVerb::Get, {500, 206}, true, 2},
        {"GET answered 201", HttpVerb::Get, std::vector<int>(15, 201), false, 15},
        {"POST answered 201", HttpVerb::Post, {201}, true, 1},
        {"POST answered 204", HttpVerb::Post, {204}, true, 1},
        {"POST answered 500, then 201", HttpVerb::Post, {500, 201}, true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        std::vector<Reply> replies;
        for (int status : c.statuses) replies.push_back(Reply::Status(status, "body"));
        server.Enqueue(std::move(replies));
        std::string body;
        const bool result =
            HttpRequest(server.Host(), u"c/object", true, server.Port(), AppendBody(body), c.verb,
                        {}, std::nullopt, c.verb == HttpVerb::Post ? "entity" : "");
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(server.RequestCount(), c.requests);
    }
}

TEST_F(HttpTransferTest, ReaderThatFailsEndsAtOnce) {
    ScriptedServer server;
    server.PutObject("c/object", "content");
    int calls = 0;
    const bool result = HttpGet(
        server.Host(), u"c/object", true, server.Port(),
        [&calls](ResponseBody&) {
            ++calls;
            return false;
        },
        std::nullopt);
    EXPECT_FALSE(result);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(HttpTransferTest, TimeoutsAreAttemptedAgain) {
    ShortenStallLimit();
    ScriptedServer server;
    server.Enqueue({Reply::Stall(kServerStall), Reply::Stall(kServerStall),
                    Reply::Stall(kServerStall), Reply::Status(200, "finally")});
    std::string body;
    EXPECT_TRUE(Get(server, u"c/object", body));
    EXPECT_EQ(body, "finally");
    EXPECT_EQ(server.RequestCount(), 4u);
}

TEST_F(HttpTransferTest, TransferErrorWhileReadingKeepsThePartThatArrived) {
    ShortenStallLimit();
    const std::string content = Pattern(4000);
    struct Case {
        const char* name;
        std::chrono::milliseconds stallAtCut;
    };
    // Closed early, and stalled until the client gives up.
    for (const Case& c : {Case{"closed", 0ms}, Case{"stalled", kServerStall}}) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        Reply reply = Reply::Status(200, content);
        reply.cutAfter = 1500;
        reply.stallAtCut = c.stallAtCut;
        server.Enqueue({reply});
        std::string body;
        EXPECT_TRUE(Get(server, u"c/object", body));
        EXPECT_EQ(body, content.substr(0, 1500));
        EXPECT_EQ(server.RequestCount(), 1u);
    }
}

TEST_F(HttpTransferTest, EncodedBodiesReachTheReaderDecoded) {
    const std::string content = Pattern(3 << 20) + std::string(5 << 20, 'z');  // several pauses
    for (ContentEncoding encoding :
         {ContentEncoding::Gzip, ContentEncoding::Deflate, ContentEncoding::None}) {
        SCOPED_TRACE(static_cast<int>(encoding));
        ScriptedServer server;
        Reply reply = Reply::Status(200, content);
        reply.encoding = encoding;
        server.Enqueue({reply});
        std::string body;
        EXPECT_TRUE(Get(server, u"c/object", body));
        EXPECT_TRUE(body == content) << "decoded size " << body.size();
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].Header("Accept-Encoding"), "gzip, deflate");
    }
}

TEST_F(HttpTransferTest, AppendBodyKeepsWhatTheTextHeld) {
    ScriptedServer server;
    server.PutObject("c/object", "tail");
    std::string body = "head-";
    EXPECT_TRUE(Get(server, u"c/object", body));
    EXPECT_EQ(body, "head-tail");
}

TEST_F(HttpTransferTest, ReaderSeesBytesBeforeTheBodyIsComplete) {
    ScriptedServer server;
    Reply reply = Reply::Status(200, Pattern(1000));
    reply.cutAfter = 10;
    reply.stallAtCut = kServerStall;
    server.Enqueue({reply});
    std::string first;
    const bool result = HttpGet(
        server.Host(), u"c/object", true, server.Port(),
        [&first](ResponseBody& body) {
            char buffer[64];
            first.assign(buffer, body.Read(buffer, sizeof buffer));
            return false;  // done without waiting for the rest
        },
        std::nullopt);
    EXPECT_FALSE(result);
    EXPECT_EQ(first, Pattern(1000).substr(0, 10));
}

TEST_F(HttpTransferTest, CallerHeadersAreAddedOnceAndNeverReplaceOurs) {
    ScriptedServer server;
    server.Enqueue({Reply::Status(503), Reply::Status(200)});
    EXPECT_TRUE(HttpRequest(
        server.Host(), u"c/object", true, server.Port(), DiscardBody(), HttpVerb::Get,
        {u"x-ms-version: 2016-05-31", u"Accept-Encoding: identity", u"X-MS-VERSION: 1999"},
        std::nullopt, ""));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        int versions = 0, encodings = 0;
        for (const auto& [name, value] : request.headers) {
            if (name == "x-ms-version") ++versions;
            if (name == "Accept-Encoding") ++encodings;
        }
        EXPECT_EQ(versions, 1);
        EXPECT_EQ(encodings, 1);
        EXPECT_EQ(request.Header("x-ms-version"), "2016-05-31");
        EXPECT_EQ(request.Header("Accept-Encoding"), "gzip, deflate");
    }
}

TEST_F(HttpTransferTest, CertificatesThatFailVerificationEndAfterOneAttempt) {
    for (ServerCertificate kind : {ServerCertificate::OtherHost, ServerCertificate::Expired,
                                   ServerCertificate::UntrustedAuthority}) {
        SCOPED_TRACE(static_cast<int>(kind));
        ScriptedServer server(ScriptedServer::Options{.certificate = kind});
        server.PutObject("c/object", "payload");
        std::string body;
        EXPECT_FALSE(Get(server, u"c/object", body));
        EXPECT_EQ(body, "");
        EXPECT_EQ(server.RequestCount(), 0u);
        EXPECT_EQ(server.HandshakeCount(), 1u);
    }
}

TEST_F(HttpTransferTest, GoodCertificateFromTheAddedAuthorityIsAccepted) {
    ScriptedServer server;
    server.PutObject("c/object", "payload");
    std::string body;
    EXPECT_TRUE(Get(server, u"c/object", body));
    EXPECT_EQ(body, "payload");
    EXPECT_EQ(server.HandshakeCount(), 1u);
}

TEST_F(HttpTransferTest, RefusedConnectionAndEmptyArgumentsFailAtOnce) {
    std::uint16_t closedPort = 0;
    {
        ScriptedServer gone;
        closedPort = gone.Port();
    }
    std::string body;
    EXPECT_FALSE(HttpGetText(u"localhost", u"c/object", body, std::nullopt, true, closedPort));
    ScriptedServer server;
    server.PutObject("c/object", "payload");
    EXPECT_FALSE(HttpGetText(u"", u"c/object", body, std::nullopt, true, server.Port()));
    EXPECT_FALSE(HttpGetText(server.Host(), u"", body, std::nullopt, true, server.Port()));
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(HttpTransferTest, OutcomeTellsARefusedConnectionFromAnAnswer) {
    std::uint16_t closedPort = 0;
    {
        ScriptedServer gone;
        closedPort = gone.Port();
    }
    HttpCall call;
    call.endpoint = Endpoint{u"localhost", closedPort, true};
    call.path = u"c/object";
    HttpOutcome outcome;
    EXPECT_FALSE(PerformHttpCall(call, DiscardBody(), &outcome));
    EXPECT_TRUE(outcome.connectionFailed);
    EXPECT_FALSE(outcome.status);

    ScriptedServer server;
    server.Enqueue({Reply::Status(503)});
    server.PutObject("c/object", "payload");
    call.endpoint.port = server.Port();
    std::string body;
    EXPECT_TRUE(PerformHttpCall(call, AppendBody(body), &outcome));
    EXPECT_FALSE(outcome.connectionFailed);
    EXPECT_EQ(outcome.status, 200);
}

TEST_F(HttpTransferTest, FinalAnswersAreReadWhateverTheirStatus) {
    ScriptedServer server;
    Reply conflict = Reply::Status(409, "<Code>BlobAlreadyExists</Code>");
    conflict.headers.emplace_back("x-ms-error-code", "BlobAlreadyExists");
    server.Enqueue({conflict});
    HttpCall call;
    call.endpoint = Endpoint{server.Host(), server.Port(), true};
    call.path = u"c/object";
    call.verb = HttpVerb::Put;
    call.body = "content";
    call.retry = RetryPolicy{3, true};
    call.wantedHeaders = {"x-ms-error-code", "ETag"};
    std::string body;
    HttpOutcome outcome;
    EXPECT_FALSE(PerformHttpCall(call, AppendBody(body), &outcome));
    EXPECT_EQ(outcome.status, 409);
    EXPECT_EQ(body, "<Code>BlobAlreadyExists</Code>");
    EXPECT_EQ(outcome.headers, (std::vector<std::pair<std::string, std::string>>{
                                   {"x-ms-error-code", "BlobAlreadyExists"}}));
    EXPECT_EQ(server.RequestCount(), 1u) << "the store's answer is final";
}

TEST_F(HttpTransferTest, KeptConnectionsAreReused) {
    ScriptedServer server(ScriptedServer::Options{.keepAlive = true});
    server.PutObject("c/object", "payload");
    std::string body;
    EXPECT_TRUE(Get(server, u"c/object", body));
    EXPECT_TRUE(Get(server, u"c/object", body, ByteRange{0, 3}));
    EXPECT_EQ(body, "payloadpayl");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].remotePort, requests[1].remotePort);
    EXPECT_EQ(server.HandshakeCount(), 1u);
}

}  // namespace
