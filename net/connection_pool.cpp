#include "net/connection_pool.h"

#include <utility>

namespace {
thread_local bool tLeaving = false;
}  // namespace

ConnectionPool::~ConnectionPool() {
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
        mTasks.clear();
    }
    mWake.notify_all();
    for (std::thread& thread : mThreads) thread.join();
}

void ConnectionPool::SetConnections(std::size_t count) {
    std::lock_guard lock(mMutex);
    mWanted = count;
    while (mLive - mLeaving < mWanted) {
        ++mLive;
        mThreads.emplace_back([this] { Run(); });
    }
    mWake.notify_all();
}

std::size_t ConnectionPool::Connections() const {
    std::lock_guard lock(mMutex);
    return mLive - mLeaving;
}

bool ConnectionPool::LeaveIfNotLast() {
    std::lock_guard lock(mMutex);
    const std::size_t staying = mLive - mLeaving;
    if (staying <= 1) return false;
    ++mLeaving;
    if (mWanted > staying - 1) mWanted = staying - 1;
    tLeaving = true;
    return true;
}

void ConnectionPool::Post(Task task, bool urgent) {
    {
        std::lock_guard lock(mMutex);
        if (urgent)
            mTasks.push_front(std::move(task));
        else
            mTasks.push_back(std::move(task));
    }
    mWake.notify_one();
}

void ConnectionPool::Run() {
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mMutex);
            const auto surplus = [this] { return mLive - mLeaving > mWanted; };
            mWake.wait(lock, [&] { return mStopping || surplus() || !mTasks.empty(); });
            if (mStopping || surplus()) {
                --mLive;
                return;
            }
            task = std::move(mTasks.front());
            mTasks.pop_front();
        }
        task();
        if (tLeaving) {
            std::lock_guard lock(mMutex);
            --mLive;
            --mLeaving;
            return;
        }
    }
}
