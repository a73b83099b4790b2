#pragma once
// Owns one POSIX file descriptor (used by the POSIX halves only): closed when it goes out of
// scope, or earlier through Close when the caller needs to know whether closing succeeded.
#include <unistd.h>

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : mFd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : mFd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            mFd = other.Release();
        }
        return *this;
    }

    int Get() const { return mFd; }
    // Hands the descriptor over to the caller, who closes it from now on.
    int Release() {
        const int fd = mFd;
        mFd = -1;
        return fd;
    }
    void Reset() { Close(); }
    // Closes now; false when closing reported an error.
    bool Close() {
        const int fd = mFd;
        mFd = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int mFd = -1;
};
