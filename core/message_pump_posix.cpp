// POSIX has no window-message queue: nothing is ever waiting, and the idle work is whatever the
// terminal views registered (redrawing the progress display).
#include <map>

#include "core/message_pump.h"

namespace {
std::map<int, std::function<bool(long)>>& IdleHandlers() {
    static std::map<int, std::function<bool(long)>> handlers;
    return handlers;
}
int gNextId = 1;

class PosixQueue : public MessageQueue {
  public:
    bool Peek() override { return false; }
    bool PumpOne() override { return true; }
    void PostQuit() override {}
    bool OnIdle(long count) override {
        bool more = false;
        // Copy: a handler may remove itself.
        auto handlers = IdleHandlers();
        for (auto& [id, handler] : handlers) {
            more = handler(count) || more;
        }
        return more;
    }
};
}  // namespace

MessageQueue& PlatformMessageQueue() {
    static PosixQueue queue;
    return queue;
}

int AddIdleHandler(std::function<bool(long)> handler) {
    int id = gNextId++;
    IdleHandlers().emplace(id, std::move(handler));
    return id;
}

void RemoveIdleHandler(int id) {
    IdleHandlers().erase(id);
}
