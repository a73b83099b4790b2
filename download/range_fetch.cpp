#include "download/range_fetch.h"

#include <algorithm>

namespace {
// Bytes asked for in each read.
constexpr std::size_t kReadPiece = 524288;
}  // namespace

bool FetchPiece(const ReleaseObject& object, std::uint64_t first, std::uint64_t last, char* out,
                std::size_t capacity, std::size_t& filled, const std::atomic<bool>& cancel,
                std::atomic<std::uint64_t>& received, HttpOutcome* outcome) {
    filled = 0;
    const ResponseReader reader = [out, capacity, &filled, &cancel, &received](ResponseBody& body) {
        // Every attempt starts the piece again from its first byte.
        filled = 0;
        for (;;) {
            if (cancel.load(std::memory_order_relaxed)) return false;
            const std::size_t room = capacity - filled;
            if (room == 0) {
                // The piece is full: the body must end here.
                char probe = 0;
                return body.Read(&probe, 1) == 0;
            }
            const std::size_t got = body.Read(out + filled, std::min(room, kReadPiece));
            filled += got;
            received.fetch_add(got, std::memory_order_relaxed);
            if (got == 0) return true;
        }
    };
    return PerformHttpCall(
        object.store.ObjectCall(object.container, object.name, ByteRange{first, last}), reader,
        outcome);
}
