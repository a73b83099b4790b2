#pragma once
// The ground of the tests that download a release from the scripted HTTPS server: the process's
// seams restored afterwards, a temporary folder that is also TMPDIR (the setup log lands there),
// the server's authority trusted, the download's windows recorded, its sleeps recorded instead
// of slept, one connection, and a selection in the container "c" with its destination below the
// folder. A test's own SetUp calls this one first and names the release.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "catalogue/release_index.h"
#include "core/clock.h"
#include "core/endpoints.h"
#include "download/block_fetcher.h"
#include "support/process_seams.h"
#include "support/progress_recorder.h"
#include "support/scripted_server.h"
#include "support/test_environment.h"

class ReleaseDownloadTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    TempDir dir;
    // Before TMPDIR changes: the test authority's file lives in the process's temporary folder.
    ScriptedServer server;
    TrustTestAuthority trust;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    ProgressRecorder views;
    std::vector<std::uint64_t> sleeps;
    SetupSelection selection;

    void SetUp() override {
        // One connection: every request in the order of a download without the pool.
        SetDownloadConnectionLimits({1, 1});
        DownloadHost = Endpoint{server.Host(), server.Port(), true};
        SetSleeper([this](std::uint64_t ms) { sleeps.push_back(ms); });
        selection.containername = "c";
        selection.destination = dir.folder() + u"dest/";
    }
};
