#pragma once
// PumpMessages is the one call through which long work lets the user interface update: it
// dispatches at most N waiting messages of the thread, then runs the idle work until none is left.
#include <cstdint>

// The thread's message queue as the pump sees it. The platform provides the default one; tests
// may install their own.
class MessageQueue {
  public:
    virtual ~MessageQueue() = default;
    // Whether a message is waiting (without removing it).
    virtual bool Peek() = 0;
    // Retrieves and dispatches one message; false when it was the quit message.
    virtual bool PumpOne() = 0;
    // Posts a new quit message with exit code 0.
    virtual void PostQuit() = 0;
    // One round of idle work with the running counter; true while more idle work remains.
    virtual bool OnIdle(long count) = 0;
};

// The platform's queue of the calling thread.
MessageQueue& PlatformMessageQueue();
// Installs another queue (nullptr restores the platform's).
void SetMessageQueue(MessageQueue* queue);

void PumpMessages(std::uint32_t maxMessages);

// Idle work of the platform queue (the terminal edition redraws its progress display here). A
// handler returns true while it has more idle work. Handlers are removed by their id.
#include <functional>
int AddIdleHandler(std::function<bool(long)> handler);
void RemoveIdleHandler(int id);
// One round of every registered idle handler; true while any has more work. Platform queues call
// it from OnIdle.
bool RunIdleHandlers(long count);
