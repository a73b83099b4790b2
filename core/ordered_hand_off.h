#pragma once
// The one producer–consumer idiom of the launcher's pipelines: a worker thread that does the jobs
// handed to it, one at a time and in the order they were handed over, while the producer goes on.
//
// - Bounded: at most `limit` jobs are held (waiting or in work); Push waits for room.
// - Spare buffers: a finished job is kept (up to `limit` of them) so that the producer can fill
//   its memory again instead of allocating (TakeSpare).
// - Joined on every path: the destructor drops the jobs still waiting, lets the one in work end,
//   and joins the thread, whether the owner leaves normally or by an exception.
// - A job whose work throws ends the hand-off's work: it counts as failed, the jobs after it are
//   dropped and later ones are not taken (the owner asks Failed()).
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

template <typename Job>
class OrderedHandOff {
  public:
    using Work = std::function<void(Job&)>;

    // work runs on the hand-off's own thread for each job in turn; it must outlive nothing but
    // this object.
    OrderedHandOff(std::size_t limit, Work work)
        : mLimit(limit == 0 ? 1 : limit), mWork(std::move(work)), mThread([this] { Run(); }) {}

    ~OrderedHandOff() {
        {
            std::lock_guard lock(mMutex);
            mStopping = true;
            mHeld -= mJobs.size();
            mJobs.clear();
        }
        mWorkerWake.notify_all();
        mProducerWake.notify_all();
        if (mThread.joinable()) {
            mThread.join();
        }
    }
    OrderedHandOff(const OrderedHandOff&) = delete;
    OrderedHandOff& operator=(const OrderedHandOff&) = delete;

    // Hands the job over; waits while the hand-off is full. Dropped when the work has failed.
    void Push(Job job) {
        std::unique_lock lock(mMutex);
        mProducerWake.wait(lock, [this] { return mFailed || mStopping || mHeld < mLimit; });
        if (mFailed || mStopping) {
            return;
        }
        mJobs.push_back(std::move(job));
        ++mHeld;
        mWorkerWake.notify_one();
    }

    // Waits until every job handed over is done (or dropped after a failure).
    void Drain() {
        std::unique_lock lock(mMutex);
        mProducerWake.wait(lock, [this] { return mHeld == 0; });
    }

    // Drain with a limit: true once every job is done, false when the time ran out first (a
    // caller on the UI thread keeps its windows answering between calls).
    bool DrainFor(std::chrono::milliseconds limit) {
        std::unique_lock lock(mMutex);
        return mProducerWake.wait_for(lock, limit, [this] { return mHeld == 0; });
    }

    // A finished job to fill again, or none.
    std::optional<Job> TakeSpare() {
        std::lock_guard lock(mMutex);
        if (mSpares.empty()) {
            return std::nullopt;
        }
        std::optional<Job> spare(std::move(mSpares.back()));
        mSpares.pop_back();
        return spare;
    }

    // The work of a job threw: nothing more is done.
    bool Failed() const {
        std::lock_guard lock(mMutex);
        return mFailed;
    }

    // Jobs waiting or in work.
    std::size_t Held() const {
        std::lock_guard lock(mMutex);
        return mHeld;
    }

  private:
    void Run() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mMutex);
                mWorkerWake.wait(lock, [this] { return mStopping || !mJobs.empty(); });
                if (mJobs.empty()) {
                    return;
                }
                job = std::move(mJobs.front());
                mJobs.pop_front();
            }
            bool failed = false;
            try {
                mWork(job);
            } catch (...) {
                failed = true;
            }
            {
                std::lock_guard lock(mMutex);
                --mHeld;
                if (failed) {
                    mFailed = true;
                    mHeld -= mJobs.size();
                    mJobs.clear();
                } else if (mSpares.size() < mLimit) {
                    mSpares.push_back(std::move(job));
                }
            }
            mProducerWake.notify_all();
        }
    }

    const std::size_t mLimit;
    const Work mWork;

    mutable std::mutex mMutex;
    std::condition_variable mWorkerWake;    // a job arrived, or stop
    std::condition_variable mProducerWake;  // room, a finished job, a failure, or stop
    std::deque<Job> mJobs;                  // waiting, in the order handed over
    std::size_t mHeld = 0;                  // waiting or in work
    std::vector<Job> mSpares;
    bool mFailed = false;
    bool mStopping = false;

    std::thread mThread;  // last: starts once everything above is ready
};
