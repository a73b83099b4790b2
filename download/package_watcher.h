#pragma once
// A way for a higher floor to follow an "arc" download while it runs: how much of the release
// file is verified and on disk, and when nothing more will arrive. The install side uses it to
// unpack members whose bytes are already verified while the rest still downloads.
#include <cstdint>

class PackageWatcher {
  public:
    virtual ~PackageWatcher() = default;
    // The download has opened the release file: its first keptBytes bytes (the kept part of a
    // resumed download, else none) are verified; the rest follows in file order. UI thread.
    virtual void Started(std::uint64_t keptBytes) = 0;
    // The first `bytes` bytes of the file are verified and written to the operating system, so that
    // another reader of the file sees them. Called from the download's writing thread.
    virtual void Verified(std::uint64_t bytes) = 0;
    // The download ended, finished or failed: no further bytes will be verified. UI thread, once,
    // on every path (also after a failure before Started).
    virtual void Ended() = 0;
};
