#pragma once
// The writing side of an extraction: a worker thread that hashes an unpacked member's bytes into
// its SHA-256 and writes them to the member's file, while the extracting thread already inflates
// the next piece. One member at a time, its pieces in order; the hand-off (OrderedHandOff) holds a
// few pieces.
//
// The thread lives exactly as long as the object: the destructor stops and joins it on every path
// (a piece still waiting is dropped, the open file closed).
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "core/hash_context.h"
#include "core/ordered_hand_off.h"

// How one member's file ended: written and closed (with the SHA-256 of its bytes), or not.
struct MemberOutcome {
    bool written = false;
    std::string digest;  // lower-case hex SHA-256 of every byte written
};

class MemberWriter {
  public:
    MemberWriter();
    ~MemberWriter();
    MemberWriter(const MemberWriter&) = delete;
    MemberWriter& operator=(const MemberWriter&) = delete;

    // Starts the next member's file folder + relative (created or truncated, reached from the
    // folder without following a link); the previous one must have ended.
    void Begin(const std::u16string& folder, const std::u16string& relative);
    // Hands the next piece of the member over; waits while the hand-off is full. Pieces after a
    // failed write are dropped.
    void Write(std::string piece);
    // Waits until every piece is written and the file is closed.
    MemberOutcome End();
    // A buffer for the next piece: a written piece's (size and bytes as they were, so that filling
    // it again costs no clearing), or an empty one.
    std::string SpareBuffer();

  private:
    enum class JobKind { Begin, Piece, End };
    struct Job {
        JobKind kind = JobKind::Piece;
        std::u16string folder;
        std::u16string relative;
        std::string data;
    };
    void Work(Job& job);
    void WorkOn(Job& job);

    struct FileCloser {
        void operator()(std::FILE* file) const noexcept { std::fclose(file); }
    };
    // Used by the worker thread only, and by End once the hand-off is drained.
    std::unique_ptr<std::FILE, FileCloser> mFile;
    std::unique_ptr<HashContext> mDigest;
    bool mFailed = false;
    MemberOutcome mOutcome;  // the outcome of the last End job

    OrderedHandOff<Job> mHandOff;  // last: its thread starts once everything above is ready
};
