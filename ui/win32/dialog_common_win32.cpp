// The observer through which tests drive the dialogs.
#include <utility>

#include "ui/win32/dialog_common.h"
#include "ui/win32/win32_dialogs.h"

namespace win32_dialogs {

std::function<void(HWND)>& Observer() {
    static std::function<void(HWND)> observer;
    return observer;
}

}  // namespace win32_dialogs

void SetDialogObserver(std::function<void(HWND)> observer) {
    win32_dialogs::Observer() = std::move(observer);
}
