#include "ui/dialog_views.h"

namespace {
DialogViews* gViews = nullptr;
}

DialogViews& Views() {
    return gViews != nullptr ? *gViews : PlatformViews();
}

void SetViews(DialogViews* views) {
    gViews = views;
}
