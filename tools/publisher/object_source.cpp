#include "tools/publisher/object_source.h"

#include <fstream>
#include <vector>

#include "catalogue/index_retrieval.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"
#include "tools/publisher/publication_names.h"
#include "tools/publisher/release_builder.h"

namespace fs = std::filesystem;

namespace {

class StoreSource : public ObjectSource {
  public:
    explicit StoreSource(const Endpoint& endpoint) : mEndpoint(endpoint) {
        DownloadHost = endpoint;
    }

    std::string Describe() const override {
        std::string text = (mEndpoint.secure ? "https://" : "http://") + ToUtf8(mEndpoint.host);
        if (mEndpoint.port != 0) {
            text += ":" + std::to_string(mEndpoint.port);
        }
        return text;
    }

    ProductCatalog ReadIndex(const std::string& product, std::string& error) override {
        ProductCatalog catalog = FetchReleaseIndex(ToUtf16(product), error);
        if (catalog.IsNull() && error.empty()) {
            error = "cannot be read";
        }
        return catalog;
    }

    bool ReadText(const std::string& objectPath, std::string& out) override {
        out.clear();
        return HttpGetText(mEndpoint.host, ToUtf16(objectPath), out, std::nullopt, mEndpoint.secure,
                           mEndpoint.port);
    }

    bool Stream(const std::string& objectPath, ObjectSink& sink) override {
        const ResponseReader reader = [&sink](ResponseBody& body) {
            sink.Restart();
            std::vector<char> buffer(256 * 1024);
            while (const std::size_t got = body.Read(buffer.data(), buffer.size())) {
                sink.Write(buffer.data(), got);
            }
            return true;
        };
        return HttpGet(mEndpoint.host, ToUtf16(objectPath), mEndpoint.secure, mEndpoint.port,
                       reader, std::nullopt);
    }

  private:
    Endpoint mEndpoint;
};

class StagingSource : public ObjectSource {
  public:
    explicit StagingSource(fs::path staging) : mStaging(std::move(staging)) {}

    std::string Describe() const override { return mStaging.string(); }

    ProductCatalog ReadIndex(const std::string& product, std::string& error) override {
        std::string text;
        if (!ReadText(IndexObjectPath(product), text)) {
            error = "cannot be read";
            return {};
        }
        return JsonValue::Parse(text, &error);
    }

    bool ReadText(const std::string& objectPath, std::string& out) override {
        std::ifstream in(mStaging / objectPath, std::ios::binary);
        if (!in) {
            return false;
        }
        out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return !in.bad();
    }

    bool Stream(const std::string& objectPath, ObjectSink& sink) override {
        std::ifstream in(mStaging / objectPath, std::ios::binary);
        if (!in) {
            return false;
        }
        sink.Restart();
        std::vector<char> buffer(1 << 20);
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            sink.Write(buffer.data(), static_cast<std::size_t>(in.gcount()));
        }
        return in.eof();
    }

  private:
    fs::path mStaging;
};

}  // namespace

std::unique_ptr<ObjectSource> MakeStoreSource(const Endpoint& endpoint) {
    return std::make_unique<StoreSource>(endpoint);
}

std::unique_ptr<ObjectSource> MakeStagingSource(const fs::path& staging) {
    return std::make_unique<StagingSource>(staging);
}
