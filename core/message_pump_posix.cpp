// POSIX has no window-message queue: nothing is ever waiting, and the idle work is whatever the
// terminal views registered (redrawing the progress display).
#include "core/message_pump.h"

namespace {
class PosixQueue : public MessageQueue {
  public:
    bool Peek() override { return false; }
    bool PumpOne() override { return true; }
    void PostQuit() override {}
    bool OnIdle(long count) override { return RunIdleHandlers(count); }
};
}  // namespace

MessageQueue& PlatformMessageQueue() {
    static PosixQueue queue;
    return queue;
}
