#include "install/member_writer.h"

#include <exception>
#include <utility>

#include "core/file_system.h"

namespace {
// Pieces handed off at most: one in work, the rest waiting.
constexpr std::size_t kHandOffPieces = 4;
constexpr std::size_t kMaxSpares = kHandOffPieces;
}  // namespace

MemberWriter::MemberWriter() : mThread([this] { Run(); }) {}

MemberWriter::~MemberWriter() {
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
        mJobs.clear();
    }
    mWorkerWake.notify_all();
    if (mThread.joinable()) {
        mThread.join();
    }
}

void MemberWriter::Push(Job job) {
    std::unique_lock lock(mMutex);
    mProducerWake.wait(lock, [this] { return mHeld < kHandOffPieces; });
    mJobs.push_back(std::move(job));
    ++mHeld;
    mWorkerWake.notify_one();
}

void MemberWriter::Begin(const std::u16string& folder, const std::u16string& relative) {
    {
        std::lock_guard lock(mMutex);
        mEnded = false;
        mOutcome = {};
    }
    Push(Job{JobKind::Begin, folder, relative, {}});
}

void MemberWriter::Write(std::string piece) {
    Push(Job{JobKind::Piece, {}, {}, std::move(piece)});
}

MemberOutcome MemberWriter::End() {
    Push(Job{JobKind::End, {}, {}, {}});
    std::unique_lock lock(mMutex);
    mProducerWake.wait(lock, [this] { return mEnded; });
    return mOutcome;
}

std::string MemberWriter::SpareBuffer() {
    std::lock_guard lock(mMutex);
    if (mSpares.empty()) {
        return {};
    }
    std::string spare = std::move(mSpares.back());
    mSpares.pop_back();
    return spare;
}

void MemberWriter::Run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mMutex);
            mWorkerWake.wait(lock, [this] { return mStopping || !mJobs.empty(); });
            if (mStopping) {
                return;
            }
            job = std::move(mJobs.front());
            mJobs.pop_front();
        }
        try {
            Work(job);
        } catch (const std::exception&) {
            // Out of memory for a digest or a path: the member counts as not written.
            mFailed = true;
        }
        {
            std::lock_guard lock(mMutex);
            --mHeld;
            if (job.kind == JobKind::Piece && mSpares.size() < kMaxSpares) {
                mSpares.push_back(std::move(job.data));
            }
            if (job.kind == JobKind::End) {
                mOutcome.written = !mFailed;
                mOutcome.digest = mFailed || !mDigest ? std::string() : mDigest->Finish(true);
                mEnded = true;
            }
        }
        mProducerWake.notify_all();
    }
}

void MemberWriter::Work(Job& job) {
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
