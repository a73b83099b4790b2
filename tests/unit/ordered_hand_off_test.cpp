// The pipelines' hand-off: jobs done in the order handed over, never more held than the bound, the
// thread joined when the owner leaves by an exception, and nothing done after a failed job.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ordered_hand_off.h"

namespace {

// Lets the worker go only when the test says so.
class Gate {
  public:
    void Open() {
        {
            std::lock_guard lock(mMutex);
            mOpen = true;
        }
        mWake.notify_all();
    }
    void Wait() {
        std::unique_lock lock(mMutex);
        mWake.wait(lock, [this] { return mOpen; });
    }

  private:
    std::mutex mMutex;
    std::condition_variable mWake;
    bool mOpen = false;
};

TEST(OrderedHandOffTest, DoesJobsInOrderWithinTheBound) {
    constexpr std::size_t kLimit = 3;
    std::vector<int> done;
    std::size_t mostHeld = 0;
    OrderedHandOff<int>* self = nullptr;
    OrderedHandOff<int> handOff(kLimit, [&](int& job) {
        done.push_back(job);
        mostHeld = std::max(mostHeld, self->Held());
    });
    self = &handOff;
    for (int i = 0; i < 200; ++i) {
        handOff.Push(i);
    }
    handOff.Drain();
    ASSERT_EQ(done.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(done[static_cast<std::size_t>(i)], i);
    }
    EXPECT_LE(mostHeld, kLimit);
    EXPECT_EQ(handOff.Held(), 0u);
}

TEST(OrderedHandOffTest, GivesFinishedJobsBackAsSpares) {
    OrderedHandOff<std::string> handOff(2, [](std::string& job) { job += "!"; });
    EXPECT_FALSE(handOff.TakeSpare());
    handOff.Push(std::string(1000, 'x'));
    handOff.Drain();
    std::optional<std::string> spare = handOff.TakeSpare();
    ASSERT_TRUE(spare);
    EXPECT_GE(spare->capacity(), 1000u);
    EXPECT_FALSE(handOff.TakeSpare());
}

TEST(OrderedHandOffTest, JoinsTheThreadWhenTheOwnerLeavesByAnException) {
    Gate gate;
    Gate started;
    std::atomic<int> done{0};
    std::atomic<bool> ownerGone{false};
    std::atomic<bool> workedAfterOwner{false};
    try {
        OrderedHandOff<int> handOff(4, [&](int&) {
            started.Open();
            gate.Wait();
            workedAfterOwner = workedAfterOwner || ownerGone;
            ++done;
        });
        for (int i = 0; i < 4; ++i) {
            handOff.Push(i);
        }
        started.Wait();  // one job is in work, three wait
        gate.Open();
        throw std::runtime_error("the producer failed");
    } catch (const std::runtime_error&) {
        ownerGone = true;
    }
    // The destructor dropped what still waited and joined: no job ran after the owner left.
    EXPECT_FALSE(workedAfterOwner);
    EXPECT_GE(done.load(), 1);
    EXPECT_LE(done.load(), 4);
}

TEST(OrderedHandOffTest, AThrowingJobDropsTheRestAndPushNoLongerWaits) {
    std::vector<int> done;
    OrderedHandOff<int> handOff(1, [&](int& job) {
        if (job == 2) {
            throw std::runtime_error("write failed");
        }
        done.push_back(job);
    });
    for (int i = 0; i < 10; ++i) {
        handOff.Push(i);  // with a bound of one, a push after the failure must not hang
    }
    handOff.Drain();
    EXPECT_TRUE(handOff.Failed());
    EXPECT_EQ(done, (std::vector<int>{0, 1}));
}

}  // namespace
