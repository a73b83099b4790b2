// A plain HTTPS file server for the download benchmark: serves the files below a folder on
// 127.0.0.1, answering range requests with 206, straight from the file (no copy of the whole file
// per request). Prints the port it listens on, then serves until it is terminated.
//
// bench_server <root folder> <certificate.pem> <key.pem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <httplib.h>

namespace {
class File {
  public:
    explicit File(const std::string& path) : mFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int Get() const { return mFd; }

  private:
    int mFd;
};
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <root folder> <certificate.pem> <key.pem>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    httplib::SSLServer server(argv[2], argv[3]);
    if (!server.is_valid()) {
        std::fprintf(stderr, "bench_server: cannot load the certificate or key\n");
        return 1;
    }
    server.Get(R"(/(.+))", [&](const httplib::Request& request, httplib::Response& response) {
        std::string name = request.matches[1];
        if (name.find("..") != std::string::npos) {
            response.status = 404;
            return;
        }
        auto file = std::make_shared<File>(root + "/" + name);
        struct stat info {};
        if (file->Get() < 0 || ::fstat(file->Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            response.status = 404;
            return;
        }
        response.set_content_provider(
            static_cast<std::size_t>(info.st_size), "application/octet-stream",
            [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                std::vector<char> buffer(std::min<std::size_t>(length, 1 << 20));
                while (length > 0) {
                    std::size_t want = std::min(length, buffer.size());
                    ssize_t got =
                        ::pread(file->Get(), buffer.data(), want, static_cast<off_t>(offset));
                    if (got <= 0 || !sink.write(buffer.data(), static_cast<std::size_t>(got))) {
                        return false;
                    }
                    offset += static_cast<std::size_t>(got);
                    length -= static_cast<std::size_t>(got);
                }
                return true;
            });
    });
    // Clients that keep their connection get to keep it, as with a cloud store.
    server.set_keep_alive_max_count(1000000);
    server.set_keep_alive_timeout(30);
    int port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        std::fprintf(stderr, "bench_server: cannot listen\n");
        return 1;
    }
    std::printf("%d\n", port);
    std::fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}
