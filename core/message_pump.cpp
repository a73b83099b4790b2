#include "core/message_pump.h"

namespace {
MessageQueue* gQueue = nullptr;

MessageQueue& ActiveQueue() {
    return gQueue != nullptr ? *gQueue : PlatformMessageQueue();
}
}  // namespace

void SetMessageQueue(MessageQueue* queue) {
    gQueue = queue;
}

void PumpMessages(std::uint32_t maxMessages) {
    MessageQueue& queue = ActiveQueue();
    for (std::uint32_t i = 0; i < maxMessages && queue.Peek(); ++i) {
        if (!queue.PumpOne()) {
            // Keep the quit message for an outer loop, if there is one.
            queue.PostQuit();
            break;
        }
    }
    for (long count = 0; queue.OnIdle(count); ++count) {
    }
}
