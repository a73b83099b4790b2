#include "tools/publisher/progress_bar.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>
#include <string_view>

namespace {

constexpr int kBarWidth = 30;

}  // namespace

std::string Counted(std::uint64_t count, const std::string& noun) {
    if (count == 1) return std::to_string(count) + " " + noun;
    // "entity" -> "entities"; "key" keeps its "y".
    if (noun.size() >= 2 && noun.back() == 'y' &&
        std::string_view("aeiou").find(noun[noun.size() - 2]) == std::string_view::npos)
        return std::to_string(count) + " " + noun.substr(0, noun.size() - 1) + "ies";
    return std::to_string(count) + " " + noun + "s";
}

std::string SizeText(std::uint64_t bytes) {
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        return std::to_string(bytes) + " bytes";
    }
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << value << ' ' << units[unit];
    return text.str();
}

ProgressBar::ProgressBar(std::string label, std::uint64_t total)
    : mLabel(std::move(label)), mTotal(total), mVisible(StandardErrorIsTerminal()) {
    Draw();
}

ProgressBar::~ProgressBar() {
    Finish();
}

void ProgressBar::Advance(std::uint64_t amount) {
    Set(mDone + amount);
}

void ProgressBar::Set(std::uint64_t done) {
    mDone = std::min(done, mTotal);
    Draw();
}

void ProgressBar::Finish() {
    if (mFinished) {
        return;
    }
    mFinished = true;
    if (mVisible) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
}

void ProgressBar::Draw() {
    if (!mVisible || mFinished) {
        return;
    }
    const int permille =
        mTotal == 0 ? 1000 : static_cast<int>(static_cast<double>(mDone) * 1000.0 / mTotal);
    if (permille == mShownPermille) {
        return;
    }
    mShownPermille = permille;
    const int filled = permille * kBarWidth / 1000;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    std::fprintf(stderr, "\r%s [%s] %5.1f%%  %s / %s\x1b[K", mLabel.c_str(), bar.c_str(),
                 permille / 10.0, SizeText(mDone).c_str(), SizeText(mTotal).c_str());
    std::fflush(stderr);
}
