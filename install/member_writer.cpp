#include "install/member_writer.h"

#include <exception>
#include <utility>

#include "core/file_system.h"

namespace {
// Pieces handed off at most: one in work, the rest waiting; as many written ones are kept for
// reuse.
constexpr std::size_t kHandOffPieces = 4;
}  // namespace

MemberWriter::MemberWriter() : mHandOff(kHandOffPieces, [this](Job& job) { Work(job); }) {}

// The hand-off is destroyed first (declared last): a waiting piece is dropped, the thread joined,
// then the open file is closed.
MemberWriter::~MemberWriter() = default;

void MemberWriter::Begin(const std::u16string& folder, const std::u16string& relative) {
    mHandOff.Push(Job{JobKind::Begin, folder, relative, {}});
}

void MemberWriter::Write(std::string piece) {
    mHandOff.Push(Job{JobKind::Piece, {}, {}, std::move(piece)});
}

MemberOutcome MemberWriter::End() {
    mHandOff.Push(Job{JobKind::End, {}, {}, {}});
    mHandOff.Drain();
    return std::exchange(mOutcome, {});
}

std::string MemberWriter::SpareBuffer() {
    std::optional<Job> spare = mHandOff.TakeSpare();
    return spare ? std::move(spare->data) : std::string();
}

void MemberWriter::Work(Job& job) {
    try {
        WorkOn(job);
    } catch (const std::exception&) {
        // Out of memory for a digest or a path: the member counts as not written.
        mFailed = true;
    }
    if (job.kind == JobKind::End) {
        mOutcome.written = !mFailed;
        try {
            mOutcome.digest = mFailed || !mDigest ? std::string() : mDigest->Finish(true);
        } catch (const std::exception&) {
            mOutcome = {};
        }
    }
}

void MemberWriter::WorkOn(Job& job) {
    switch (job.kind) {
        case JobKind::Begin:
            mFailed = false;
            mDigest = std::make_unique<HashContext>("SHA256", std::string_view());
            mFile.reset();
            // No link on the way is followed: the member then counts as not written.
            mFile.reset(CreateFileBelow(job.folder, job.relative));
            if (mFile) {
                // Each piece goes to the file in one write, straight from its buffer.
                std::setvbuf(mFile.get(), nullptr, _IONBF, 0);
            }
            mFailed = !mFile;
            break;
        case JobKind::Piece:
            if (!mFailed) {
                mDigest->Update(job.data.data(), job.data.size());
                mFailed = std::fwrite(job.data.data(), 1, job.data.size(), mFile.get()) !=
                          job.data.size();
            }
            break;
        case JobKind::End:
            if (mFile) {
                const bool closed = std::fclose(mFile.release()) == 0;
                mFailed = mFailed || !closed;
            }
            break;
    }
}
