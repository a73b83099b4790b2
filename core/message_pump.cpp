#include "core/message_pump.h"

#include <map>

namespace {
MessageQueue* gQueue = nullptr;

std::map<int, std::function<bool(long)>>& IdleHandlers() {
    static std::map<int, std::function<bool(long)>> handlers;
    return handlers;
}
int gNextIdleId = 1;

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

int AddIdleHandler(std::function<bool(long)> handler) {
    int id = gNextIdleId++;
    IdleHandlers().emplace(id, std::move(handler));
    return id;
}

void RemoveIdleHandler(int id) {
    IdleHandlers().erase(id);
}

bool RunIdleHandlers(long count) {
    bool more = false;
    // A copy: a handler may remove itself.
    auto handlers = IdleHandlers();
    for (auto& [id, handler] : handlers) {
        more = handler(count) || more;
    }
    return more;
}
