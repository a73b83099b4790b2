// The UI thread's window-message queue. A message is taken off the queue only when one is
// waiting, so pumping never blocks; the idle work is whatever the views registered.

#include "core/message_pump.h"
#include "core/win32_support.h"

namespace {
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
    bool OnIdle(long count) override { return RunIdleHandlers(count); }
};
}  // namespace

MessageQueue& PlatformMessageQueue() {
    static Win32Queue queue;
    return queue;
}
