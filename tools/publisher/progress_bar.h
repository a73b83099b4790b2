#pragma once
// A one-line progress bar on standard error for work that can take minutes (hashing, packing,
// uploading and reading back gigabytes). It draws only when standard error is a terminal, so
// logs and pipes stay clean, and redraws only when the shown value changes.
#include <cstdint>
#include <string>

class ProgressBar {
  public:
    ProgressBar(std::string label, std::uint64_t total);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Advance(std::uint64_t amount);
    void Set(std::uint64_t done);
    // Draws the final state and ends the line; also done by the destructor.
    void Finish();

  private:
    void Draw();

    std::string mLabel;
    std::uint64_t mTotal;
    std::uint64_t mDone = 0;
    int mShownPermille = -1;
    bool mVisible;
    bool mFinished = false;
};

// Whether standard error is an interactive terminal (platform half).
bool StandardErrorIsTerminal();

// "1 block", "3 blocks", "2 entities".
std::string Counted(std::uint64_t count, const std::string& noun);

// "12.3 MiB" style size text.
std::string SizeText(std::uint64_t bytes);
