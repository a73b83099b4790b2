#include "download/range_fetch.h"

#include <algorithm>
#include <optional>

#include "core/clock.h"

namespace {
// Bytes asked for in each read.
constexpr std::size_t kReadPiece = 524288;
}  // namespace

bool FetchPiece(const ReleaseObject& object, std::uint64_t first, std::uint64_t last, char* out,
                std::size_t capacity, std::size_t& filled, const std::atomic<bool>& cancel,
                ReceiveMeter& meter, HttpOutcome* outcome) {
    filled = 0;
    const ResponseReader reader = [out, capacity, &filled, &cancel, &meter](ResponseBody& body) {
        // Every attempt starts the piece again from its first byte.
        filled = 0;
        std::optional<std::uint64_t> previousRead;  // tick of the latest read that got bytes
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
            if (got == 0) return true;
            meter.bytes.fetch_add(got, std::memory_order_relaxed);
            const std::uint64_t now = TickCount64();
            if (previousRead) {
                meter.flowingBytes.fetch_add(got, std::memory_order_relaxed);
                meter.flowingMs.fetch_add(now - *previousRead, std::memory_order_relaxed);
            }
            previousRead = now;
        }
    };
    return PerformHttpCall(
        object.store.ObjectCall(object.container, object.name, ByteRange{first, last}), reader,
        outcome);
}
