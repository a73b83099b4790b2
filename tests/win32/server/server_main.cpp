// win32-test-server COMMAND [ARGUMENTS...]
//
// Starts scripted servers on 127.0.0.1 for the Win32 tests, runs COMMAND with
// SETUP_LAUNCHER_TEST_CONTROL set to the port of the control server, stops the servers when it
// ends and exits with its status. The data servers are
//   http       plain HTTP
//   https      HTTPS with a certificate for "localhost" from the test authority
//   untrusted  HTTPS from an authority nobody trusts
//   otherhost  HTTPS from the test authority, but for another host name
//   expired    HTTPS from the test authority, for "localhost", expired
//   counted    HTTPS like "https", keeping connections and counting those open at once
//   limited    like "counted", but resetting every connection beyond the second
// The control server (plain HTTP) scripts them; it answers
//   GET  /ports                  {"http": port, ...}
//   GET  /ca                     the test authority's certificate (PEM)
//   PUT  /object/<server>/<path> the body becomes the object at <path>
//   POST /enqueue/<server>       [{"status": 200, "body": "...", "encoding": "gzip"|"deflate",
//                                  "cutAfter": n, "endless": true,
//                                  "headers": [["name", "value"]]}, ...]
//   GET  /requests/<server>      [{"method", "target", "path", "headers": [[n, v]], "body"}, ...]
//   POST /clear/<server>         forgets the recorded requests
//   GET  /handshakes/<server>    the number of TLS handshakes begun
//   GET  /connections/<server>   {"peak": most open at once, "refused": reset beyond the limit}
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <httplib.h>

#include "support/scripted_server.h"
#include "support/test_pki.h"

namespace {

volatile sig_atomic_t gChild = 0;

void ForwardSignal(int signal) {
    if (gChild > 0) kill(static_cast<pid_t>(gChild), signal);
}

struct DataServers {
    std::map<std::string, std::unique_ptr<ScriptedServer>> byName;

    ScriptedServer* Find(const std::string& name) const {
        auto found = byName.find(name);
        return found == byName.end() ? nullptr : found->second.get();
    }
};

std::unique_ptr<ScriptedServer> Start(bool secure, ServerCertificate certificate) {
    ScriptedServer::Options options;
    options.secure = secure;
    options.certificate = certificate;
    return std::make_unique<ScriptedServer>(options);
}

Reply ReplyFrom(const nlohmann::json& item) {
    Reply reply = Reply::Status(item.value("status", 200), item.value("body", std::string()));
    const std::string encoding = item.value("encoding", std::string());
    if (encoding == "gzip") reply.encoding = ContentEncoding::Gzip;
    if (encoding == "deflate") reply.encoding = ContentEncoding::Deflate;
    if (item.contains("cutAfter")) reply.cutAfter = item["cutAfter"].get<std::size_t>();
    reply.endless = item.value("endless", false);
    if (item.contains("headers"))
        for (const auto& header : item["headers"])
            reply.headers.emplace_back(header[0].get<std::string>(), header[1].get<std::string>());
    return reply;
}

nlohmann::json RequestsAsJson(const ScriptedServer& server) {
    nlohmann::json list = nlohmann::json::array();
    for (const RecordedRequest& request : server.Requests()) {
        nlohmann::json headers = nlohmann::json::array();
        for (const auto& [name, value] : request.headers) headers.push_back({name, value});
        list.push_back({{"method", request.method},
                        {"target", request.target},
                        {"path", request.path},
                        {"headers", headers},
                        {"body", request.body}});
    }
    return list;
}

// "/verb/<server>/rest": the server's name and the rest (without its leading "/").
std::pair<std::string, std::string> SplitTarget(const std::string& path, const std::string& verb) {
    std::string tail = path.substr(verb.size() + 2);
    const auto slash = tail.find('/');
    if (slash == std::string::npos) return {tail, {}};
    return {tail.substr(0, slash), tail.substr(slash + 1)};
}

void Answer(const DataServers& servers, const RecordedRequest& request, Reply& reply) {
    reply = Reply::Status(200);
    reply.headers = {{"Content-Type", "text/plain"}};
    const std::string& path = request.path;
    auto under = [&path](const std::string& verb) { return path.rfind("/" + verb + "/", 0) == 0; };
    try {
        if (path == "/ports") {
            nlohmann::json ports;
            for (const auto& [name, server] : servers.byName) ports[name] = server->Port();
            reply.body = ports.dump();
        } else if (path == "/ca") {
            reply.body = TestPki::Shared().CaPem();
        } else if (under("object")) {
            auto [name, object] = SplitTarget(path, "object");
            if (ScriptedServer* server = servers.Find(name))
                // Stored under the decoded name, which is how the data servers look objects up.
                server->PutObject(httplib::detail::decode_url(object, false), request.body);
            else
                reply.status = 404;
        } else if (under("enqueue")) {
            ScriptedServer* server = servers.Find(SplitTarget(path, "enqueue").first);
            if (server == nullptr) {
                reply.status = 404;
                return;
            }
            std::vector<Reply> replies;
            for (const auto& item : nlohmann::json::parse(request.body))
                replies.push_back(ReplyFrom(item));
            server->Enqueue(std::move(replies));
        } else if (under("requests")) {
            if (ScriptedServer* server = servers.Find(SplitTarget(path, "requests").first))
                reply.body = RequestsAsJson(*server).dump();
            else
                reply.status = 404;
        } else if (under("clear")) {
            if (ScriptedServer* server = servers.Find(SplitTarget(path, "clear").first))
                server->ClearRequests();
            else
                reply.status = 404;
        } else if (under("connections")) {
            if (ScriptedServer* server = servers.Find(SplitTarget(path, "connections").first))
                reply.body = nlohmann::json{{"peak", server->PeakConnections()},
                                            {"refused", server->RefusedConnections()}}
                                 .dump();
            else
                reply.status = 404;
        } else if (under("handshakes")) {
            if (ScriptedServer* server = servers.Find(SplitTarget(path, "handshakes").first))
                reply.body = std::to_string(server->HandshakeCount());
            else
                reply.status = 404;
        } else {
            reply.status = 404;
        }
    } catch (const std::exception& error) {
        reply = Reply::Status(400, error.what());
    }
}

int RunCommand(char** argv) {
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        execvp(argv[0], argv);
        std::perror(argv[0]);
        _exit(127);
    }
    gChild = child;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return 1;
    }
    gChild = 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    struct sigaction forward {};
    forward.sa_handler = ForwardSignal;
    sigaction(SIGTERM, &forward, nullptr);
    sigaction(SIGINT, &forward, nullptr);

    DataServers servers;
    servers.byName["http"] = Start(false, ServerCertificate::Good);
    servers.byName["https"] = Start(true, ServerCertificate::Good);
    servers.byName["untrusted"] = Start(true, ServerCertificate::UntrustedAuthority);
    servers.byName["otherhost"] = Start(true, ServerCertificate::OtherHost);
    servers.byName["expired"] = Start(true, ServerCertificate::Expired);
    for (const std::size_t limit : {std::size_t{0}, std::size_t{2}}) {
        ScriptedServer::Options options;
        options.keepAlive = true;
        options.countConnections = true;
        options.connectionLimit = limit;
        servers.byName[limit == 0 ? "counted" : "limited"] =
            std::make_unique<ScriptedServer>(options);
    }

    ScriptedServer control(ScriptedServer::Options{false, ServerCertificate::Good, false});
    control.SetHook([&servers](const RecordedRequest& request, Reply& reply) {
        Answer(servers, request, reply);
    });
    setenv("SETUP_LAUNCHER_TEST_CONTROL", std::to_string(control.Port()).c_str(), 1);

    const int status = RunCommand(argv + 1);
    control.Stop();
    for (auto& [name, server] : servers.byName) server->Stop();
    return status;
}
