#pragma once
// The process-wide seams that tests replace: the tick source and the sleeper, the message queue,
// the dialog views, the usage clock, the setup starter, the unpacking's tail bound, the HTTP time
// limits, the download's connection limits and DownloadHost.
// A fixture holds one ScopedSeams as its first member: whatever the test sets, the seams are as
// before the fixture when it ends, however the test ends.
#include "core/endpoints.h"
#include "download/block_fetcher.h"
#include "net/http_transport.h"

class ScopedSeams {
  public:
    ScopedSeams();
    ~ScopedSeams();
    ScopedSeams(const ScopedSeams&) = delete;
    ScopedSeams& operator=(const ScopedSeams&) = delete;

  private:
    HttpTimeLimits mTimeLimits;
    DownloadConnections mConnections;
    Endpoint mDownloadHost;
};
