#pragma once
// Threads that each perform requests over a connection of their own. A transport keeps one
// connection (and its TLS session) per thread, so a thread of the pool reuses its connection from
// one request to the next and the pool holds as many connections as it has threads.
//
// Tasks run in the order they were posted (urgent ones first). A task whose connection failed may
// give it up (LeaveIfNotLast): its thread then ends after the task and the pool runs with one
// connection fewer, but never with none. The destructor drops the tasks not yet started, waits for
// the running ones and joins every thread.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class ConnectionPool {
  public:
    using Task = std::function<void()>;

    ConnectionPool() = default;
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // Grows the pool to count connections or lets threads beyond count end after their task.
    void SetConnections(std::size_t count);
    // Threads running or waiting for tasks.
    std::size_t Connections() const;
    void Post(Task task, bool urgent = false);
    // Called by a running task: when another connection stays, this task's thread ends once the
    // task returns and the pool does not grow back to it (true); false for the last connection.
    bool LeaveIfNotLast();

  private:
    void Run();

    mutable std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<Task> mTasks;
    std::size_t mWanted = 0;
    std::size_t mLive = 0;
    std::size_t mLeaving = 0;  // threads that end after their running task
    bool mStopping = false;
    std::vector<std::thread> mThreads;  // every thread ever started, joined by the destructor
};
