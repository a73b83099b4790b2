#include "download/range_fetch.h"

#include <algorithm>

#include "core/message_pump.h"
#include "net/http_transfer.h"

namespace {
// Bytes asked for in each read, and the messages pumped around it: those of the transfer's own
// readers, so the progress window stays as alive as it is while any other body is read.
constexpr std::size_t kReadPiece = 524288;
constexpr std::uint32_t kPumpBudget = 10;
// A piece reserves at most this much ahead; a larger one grows as its bytes arrive.
constexpr std::uint64_t kMaxReserve = 256ull * 1024 * 1024;
}  // namespace

bool FetchRange(const ReleaseObject& object, std::uint64_t first, std::uint64_t last,
                std::string& out, std::uint64_t capacity) {
    // The reader starts at the bytes the caller already holds.
    const std::size_t kept = out.size();
    out.reserve(static_cast<std::size_t>(std::min(capacity, kMaxReserve)));
    ResponseReader reader = [&out, kept, capacity](ResponseBody& body) {
        // out is grown ahead of the reads and cut to what arrived when the reader ends, however
        // it ends: each byte of room is cleared once, not once per read.
        std::size_t filled = kept;
        out.resize(kept);
        struct CutToFilled {
            std::string& out;
            const std::size_t& filled;
            ~CutToFilled() { out.resize(filled); }
        } cut{out, filled};
        for (;;) {
            PumpMessages(kPumpBudget);
            const std::uint64_t room = capacity - filled;
            if (room == 0) {
                // The piece is full: the body must end here.
                char probe = 0;
                const std::size_t extra = body.Read(&probe, 1);
                PumpMessages(kPumpBudget);
                return extra == 0;
            }
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(room, kReadPiece));
            if (out.size() < filled + want) {
                out.resize(filled + want);
            }
            const std::size_t got = body.Read(out.data() + filled, want);
            filled += got;
            PumpMessages(kPumpBudget);
            if (got == 0) {
                return true;
            }
            PumpMessages(kPumpBudget);
        }
    };
    return PerformHttpCall(
        object.store.ObjectCall(object.container, object.name, ByteRange{first, last}), reader);
}
