#pragma once
// The blob store that serves release indexes, digest lists and release files: where it is, and how
// its objects are named in requests.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/endpoints.h"
#include "net/http_transfer.h"

class BlobStore {
  public:
    explicit BlobStore(Endpoint endpoint) : mEndpoint(std::move(endpoint)) {}

    const std::u16string& Host() const { return mEndpoint.host; }
    bool Secure() const { return mEndpoint.secure; }
    // The port requests go to (the scheme's default when the endpoint names none).
    std::uint16_t Port() const { return EffectivePort(mEndpoint); }

    // The request path of an object: container + "/" + name, each segment percent-encoded.
    static std::u16string ObjectPath(std::string_view container, std::string_view name);

    // A GET of the object (of the range when one is given); the body bound is the range's
    // length, or maxBody for the whole object.
    HttpCall ObjectCall(std::string_view container, std::string_view name,
                        std::optional<ByteRange> range = std::nullopt,
                        std::uint64_t maxBody = kUnboundedBody) const;

    // Appends the whole object to out; true on success.
    bool GetText(std::string_view container, std::string_view name, std::string& out,
                 std::uint64_t maxBody) const;
    // Hands the whole object to the reader; true on success.
    bool Get(std::string_view container, std::string_view name, const ResponseReader& reader,
             std::uint64_t maxBody = kUnboundedBody) const;

  private:
    Endpoint mEndpoint;
};

// The store of the current launch (DownloadHost).
BlobStore ReleaseStore();
