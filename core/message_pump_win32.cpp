// The UI thread's window-message queue. A message is taken off the queue only when one is
// waiting, so pumping never blocks; the idle work is whatever the views registered.
#include <map>

#include "core/message_pump.h"
#include "core/win32_support.h"

namespace {
std::map<int, std::function<bool(long)>>& IdleHandlers() {
    static std::map<int, std::function<bool(long)>> handlers;
    return handlers;
}
int gNextId = 1;

class Win32Queue : public MessageQueue {
  public:
    bool Peek() override {
        MSG message;
        return PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
    }
    bool PumpOne() override {
        MSG message;
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) == FALSE) {
            return true;
        }
        if (message.message == WM_QUIT) {
            return false;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
        return true;
    }
    void PostQuit() override { PostQuitMessage(0); }
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
    static Win32Queue queue;
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
