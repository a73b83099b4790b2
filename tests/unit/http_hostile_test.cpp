// The HTTP client against hostile and unusual answers of the scripted server: bodies past their
// bound, redirects, an insert whose answer never ends, junk after a body on a kept connection,
// the User-Agent, and object names that need escaping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/http_transfer.h"
#include "net/http_transport.h"
#include "net/object_path.h"
#include "support/process_seams.h"
#include "support/scripted_server.h"

namespace {

using namespace std::chrono_literals;

class HttpHostileTest : public ::testing::Test {
  protected:
    ScopedSeams mSeams;
    void SetUp() override { SetHttpTimeLimits({10000ms, 10000ms}); }

    TrustTestAuthority mTrust;
};

Reply Endless(ContentEncoding encoding, std::string piece = std::string()) {
    Reply reply = Reply::Status(200, std::move(piece));
    reply.endless = true;
    reply.encoding = encoding;
    return reply;
}

TEST_F(HttpHostileTest, BodiesPastTheirBoundFailEveryAttemptAndLeaveNothing) {
    struct Case {
        const char* name;
        Reply reply;  // the answer to every attempt
        std::optional<ByteRange> range;
        std::uint64_t maxBody;
    };
    Reply longRange = Reply::Status(206, std::string(20, 'r'));
    longRange.headers.emplace_back("Content-Range", "bytes 0-9/100");
    const std::vector<Case> cases = {
        {"206 past its range", longRange, ByteRange{0, 9}, kUnboundedBody},
        {"200 with the whole object for a range", Reply::Status(200, std::string(100, 'w')),
         ByteRange{10, 19}, kUnboundedBody},
        {"whole object one byte past the bound", Reply::Status(200, std::string(101, 'x')),
         std::nullopt, 100},
        {"body without end", Endless(ContentEncoding::None, "not json "), std::nullopt, 1 << 20},
        {"gzip of zeros without end", Endless(ContentEncoding::Gzip), std::nullopt, 1 << 20},
        {"deflate of zeros without end, range", Endless(ContentEncoding::Deflate),
         ByteRange{0, 4095}, kUnboundedBody},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.SetHook([&c](const RecordedRequest&, Reply& reply) { reply = c.reply; });
        std::string body = "kept-";
        EXPECT_FALSE(
            HttpGetText(server.Host(), u"c/object", body, c.range, true, server.Port(), c.maxBody));
        EXPECT_EQ(body, "kept-");
        EXPECT_EQ(server.RequestCount(), 15u) << "each attempt fails like any other";
    }
}

TEST_F(HttpHostileTest, BodiesWithinTheirBoundArriveWhole) {
    ScriptedServer server;
    server.PutObject("c/object", std::string(100, 'x'));
    std::string body;
    EXPECT_TRUE(
        HttpGetText(server.Host(), u"c/object", body, std::nullopt, true, server.Port(), 100));
    EXPECT_EQ(body.size(), 100u);
    body.clear();
    EXPECT_TRUE(
        HttpGetText(server.Host(), u"c/object", body, ByteRange{90, 109}, true, server.Port()));
    EXPECT_EQ(body, std::string(10, 'x')) << "a short 206 at the end of the object";
}

TEST_F(HttpHostileTest, AnAttemptPastTheBoundIsFollowedByAGoodOne) {
    ScriptedServer server;
    server.PutObject("c/object", "0123456789");
    Reply tooLong = Reply::Status(206, "0123456789abcdef");
    server.Enqueue({Endless(ContentEncoding::Gzip), tooLong});
    std::string body;
    EXPECT_TRUE(
        HttpGetText(server.Host(), u"c/object", body, ByteRange{0, 9}, true, server.Port()));
    EXPECT_EQ(body, "0123456789");
    EXPECT_EQ(server.RequestCount(), 3u);
}

Reply Redirect(int status, const std::string& location) {
    Reply reply = Reply::Status(status);
    reply.headers.emplace_back("Location", location);
    return reply;
}

TEST_F(HttpHostileTest, GetFollowsUpToFiveRedirectsOnHttpsKeepingRangeAndHeaders) {
    ScriptedServer origin;
    ScriptedServer mirror;
    mirror.PutObject("c/object", "0123456789");
    const std::string there = mirror.Endpoint() + "/c/object";
    // Five hops of every kind: four on the origin, the fifth to the mirror.
    origin.Enqueue({Redirect(301, "/hop1"), Redirect(302, "/hop2"), Redirect(303, "/hop3"),
                    Redirect(307, "/hop4"), Redirect(308, there)});
    std::string body;
    EXPECT_TRUE(HttpRequest(origin.Host(), u"c/object", true, origin.Port(), AppendBody(body),
                            HttpVerb::Get, {u"x-ms-version: 2016-05-31"}, ByteRange{2, 4}, ""));
    EXPECT_EQ(body, "234");
    ASSERT_EQ(origin.RequestCount(), 5u);
    const auto requests = mirror.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("Range"), "bytes=2-4");
    EXPECT_EQ(requests[0].Header("x-ms-version"), "2016-05-31");
}

TEST_F(HttpHostileTest, RedirectsThatCannotBeFollowedFailTheAttempt) {
    ScriptedServer plain(ScriptedServer::Options{.secure = false});
    ScriptedServer untrusted(
        ScriptedServer::Options{.certificate = ServerCertificate::UntrustedAuthority});
    plain.PutObject("c/object", "plain");
    untrusted.PutObject("c/object", "untrusted");
    struct Case {
        const char* name;
        std::function<Reply(const RecordedRequest&)> answer;
    };
    const std::vector<Case> cases = {
        {"to plain HTTP",
         [&](const RecordedRequest&) { return Redirect(302, plain.Endpoint() + "/c/object"); }},
        {"to a certificate nobody vouches for",
         [&](const RecordedRequest&) { return Redirect(307, untrusted.Endpoint() + "/c/object"); }},
        {"a sixth hop",
         [](const RecordedRequest& request) {
             return Redirect(302, request.path + "x");  // never ends
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer origin;
        origin.SetHook(
            [&c](const RecordedRequest& request, Reply& reply) { reply = c.answer(request); });
        std::string body;
        EXPECT_FALSE(
            HttpGetText(origin.Host(), u"c/object", body, std::nullopt, true, origin.Port()));
        EXPECT_EQ(body, "");
    }
    EXPECT_EQ(plain.RequestCount(), 0u);
    EXPECT_EQ(untrusted.RequestCount(), 0u);
}

TEST_F(HttpHostileTest, PostFollowsNoRedirectAndReadsNoBody) {
    ScriptedServer target;
    ScriptedServer table;
    table.Enqueue(std::vector<Reply>(15, Redirect(307, target.Endpoint() + "/downloads")));
    EXPECT_FALSE(HttpPost(table.Host(), u"/downloads", true, table.Port(), {}, "{}"));
    EXPECT_EQ(target.RequestCount(), 0u);

    // An answer that never ends: only its status counts.
    Reply endless = Endless(ContentEncoding::None, "{\"odata\":1}");
    endless.status = 201;
    table.ClearRequests();
    table.Enqueue({endless});
    EXPECT_TRUE(HttpPost(table.Host(), u"/downloads", true, table.Port(), {}, "{}"));
    EXPECT_EQ(table.RequestCount(), 1u);
}

TEST_F(HttpHostileTest, AConnectionThatDeliveredMoreThanItAnnouncedIsNotReused) {
    ScriptedServer server(ScriptedServer::Options{.keepAlive = true});
    server.PutObject("c/object", "payload");
    Reply junk = Reply::Status(200, "first");
    junk.junkAfterBody = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nforgedgarbage";
    server.Enqueue({junk});
    std::string body;
    EXPECT_TRUE(HttpGetText(server.Host(), u"c/object", body, std::nullopt, true, server.Port()));
    EXPECT_EQ(body, "first");
    // The junk is a write of its own: a server thread held up between the two writes would send
    // it after the next request went out, as a genuine answer would come.
    ASSERT_TRUE(server.WaitForJunkWrites(1));
    body.clear();
    EXPECT_TRUE(HttpGetText(server.Host(), u"c/object", body, std::nullopt, true, server.Port()));
    EXPECT_EQ(body, "payload");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].remotePort, requests[1].remotePort);
}

TEST_F(HttpHostileTest, RequestsCarryTheProgramNameAsUserAgent) {
    ScriptedServer server;
    server.PutObject("c/object", "x");
    std::string body;
    EXPECT_TRUE(HttpGetText(server.Host(), u"c/object", body, std::nullopt, true, server.Port()));
    server.Enqueue({Reply::Status(201)});
    EXPECT_TRUE(HttpPost(server.Host(), u"/downloads", true, server.Port(), {}, "{}"));
    ASSERT_EQ(server.RequestCount(), 2u);
    for (const auto& request : server.Requests())
        EXPECT_EQ(request.Header("User-Agent"), "unit_tests");
}

TEST_F(HttpHostileTest, ObjectNamesAreEscapedSegmentBySegment) {
    struct Case {
        std::string name;
        std::string target;
    };
    const std::vector<Case> cases = {
        {"CAD Setup 2024.zip", "/c%20d/CAD%20Setup%202024.zip"},
        {"setup#2.zip", "/c%20d/setup%232.zip"},
        {"100%.zip", "/c%20d/100%25.zip"},
        {"what?.zip", "/c%20d/what%3F.zip"},
        {"Größe.zip", "/c%20d/Gr%C3%B6%C3%9Fe.zip"},
        {"folder/sub file.zip", "/c%20d/folder/sub%20file.zip"},
    };
    ScriptedServer server;
    server.PutObject("c d/setup", "decoy");  // what a name cut at "#" or "?" would fetch
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.ClearRequests();
        server.PutObject("c d/" + c.name, "content of " + c.name);
        std::string body;
        EXPECT_TRUE(HttpGetText(server.Host(), BlobObjectPath("c d", c.name), body, std::nullopt,
                                true, server.Port()));
        EXPECT_EQ(body, "content of " + c.name);
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].target, c.target);
    }
}

}  // namespace
