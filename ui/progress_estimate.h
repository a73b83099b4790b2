#pragma once
// The progress window's model: counts steps, estimates the time left from the time since the
// first step and shows it in the caption as " (ETA hh:mm:ss)".
#include <cstdint>
#include <memory>
#include <string>

#include "ui/dialog_views.h"

class ExtractionProgress {
  public:
    ExtractionProgress();
    ~ExtractionProgress();
    ExtractionProgress(const ExtractionProgress&) = delete;
    ExtractionProgress& operator=(const ExtractionProgress&) = delete;

    // Creates and shows the window (through the views in use).
    void Create();
    // Destroys the window; also done by the destructor.
    void Destroy();

    void AppendToTitle(const std::u16string& text);
    void SetProgressRange(std::uint32_t n);
    void ProgressStep();
    void ResetProgress();

    const std::u16string& Caption() const { return mCaption; }
    std::uint32_t Position() const { return mPosition; }
    std::uint32_t Range() const { return mMaxProgress; }
    // Steps since the last reset, the bar's stop at its end left aside: the estimate's count.
    std::uint32_t StepsTaken() const { return mCurProgress; }

  private:
    void Publish();

    std::uint32_t mMaxProgress = 0;
    std::uint32_t mCurProgress = 0;

    std::u16string mCaption;
    std::u16string mBaseCaption;
    std::uint64_t mStart = 0;
    std::uint32_t mPosition = 0;
    std::unique_ptr<ProgressView> mView;
};
