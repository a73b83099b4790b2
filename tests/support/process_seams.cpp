#include "support/process_seams.h"

#include "core/clock.h"
#include "core/message_pump.h"
#include "install/archive_extraction.h"
#include "install/unpack_stage.h"
#include "ui/dialog_views.h"
#include "usage/usage_events.h"

ScopedSeams::ScopedSeams()
    : mTimeLimits(CurrentHttpTimeLimits()),
      mConnections(DownloadConnectionLimits()),
      mDownloadHost(DownloadHost) {}

ScopedSeams::~ScopedSeams() {
    // The injectable functions go back to the platform's own; the values to what they were.
    SetTickSource(nullptr);
    SetSleeper(nullptr);
    SetMessageQueue(nullptr);
    SetViews(nullptr);
    SetUsageClock(nullptr);
    SetSetupStarter(nullptr);
    SetTailBound(0);
    SetHttpTimeLimits(mTimeLimits);
    SetDownloadConnectionLimits(mConnections);
    DownloadHost = mDownloadHost;
}
