#include "ui/progress_estimate.h"

#include <cstdio>
#include <limits>

#include "core/clock.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"

namespace {
// The caption of the progress window before anything is appended.
constexpr char16_t kInitialCaption[] = u"Fortschritt / Progress";
// Time after the first step before an estimate is shown.
constexpr std::uint64_t kEstimateDelayMs = 1000;

// Whole seconds of a non-negative time, truncated toward zero. Negative times (more steps made
// than the range has) give 0; times beyond the 32-bit range give its maximum.
std::uint32_t WholeSeconds(double seconds) {
    if (!(seconds > 0.0)) {
        return 0;
    }
    if (seconds >= 4294967296.0) {
        return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(seconds);
}

// " (ETA hh:mm:ss)"; the hours take more digits when needed.
std::u16string EstimateText(std::uint32_t secondsLeft) {
    char text[64];
    std::snprintf(text, sizeof text, " (ETA %02u:%02u:%02u)", secondsLeft / 3600,
                  secondsLeft % 3600 / 60, secondsLeft % 60);
    return ToUtf16(text);
}
}  // namespace

ExtractionProgress::ExtractionProgress() : mCaption(kInitialCaption) {}

ExtractionProgress::~ExtractionProgress() {
    Destroy();
}

void ExtractionProgress::Create() {
    mView = Views().ShowProgress(*this);
    Publish();
}

void ExtractionProgress::Destroy() {
    mView.reset();
}

void ExtractionProgress::AppendToTitle(const std::u16string& text) {
    mCaption += u" ";
    mCaption += text;
    Publish();
}

void ExtractionProgress::SetProgressRange(std::uint32_t n) {
    mMaxProgress = n;
    if (mPosition > n) {
        mPosition = n;
    }
    Publish();
}

void ExtractionProgress::ProgressStep() {
    // The bar stops at its end: a block fetched again advances it again.
    if (mPosition < mMaxProgress) {
        ++mPosition;
    }

    if (mCurProgress == 0) {
        mStart = TickCount64();
        if (mBaseCaption.empty()) {
            mBaseCaption = mCaption;
        }
    } else {
        std::uint64_t elapsedMs = TickCount64() - mStart;
        std::u16string estimate;
        if (elapsedMs > kEstimateDelayMs) {
            double elapsed = static_cast<double>(elapsedMs) * 0.001;
            double estimated =
                elapsed * static_cast<double>(mMaxProgress) / static_cast<double>(mCurProgress);
            std::uint32_t secondsLeft = WholeSeconds(estimated - elapsed);
            if (secondsLeft != 0) {
                estimate = EstimateText(secondsLeft);
                char text[256];
                std::snprintf(text, sizeof text,
                              "mMaxProgress: %u mCurProgress: %u diffSeconds: %f "
                              "estimatedSeconds: %f secondsLeft: %u",
                              mMaxProgress, mCurProgress, elapsed, estimated, secondsLeft);
                LOG_RECORD(text + ToUtf8(estimate));
            }
        }
        mCaption = mBaseCaption + estimate;
    }
    ++mCurProgress;
    Publish();
}

void ExtractionProgress::ResetProgress() {
    mPosition = 0;
    mCurProgress = 0;
    // The next step starts the timing again; an estimate from before would be stale until the
    // step after it.
    if (!mBaseCaption.empty()) {
        mCaption = mBaseCaption;
    }
    Publish();
}

void ExtractionProgress::Publish() {
    if (mView) {
        mView->Update(mCaption, mPosition, mMaxProgress);
    }
}
