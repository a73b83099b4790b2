// The progress window of the terminal edition: the caption, a bar and a percentage on standard
// error. On a terminal the line is redrawn in place; into a file or pipe a line is written only
// when the percentage reaches a new tenth, so logs stay short. Drawing happens in the message
// pump's idle work, like the repaint of a window.
#include <ostream>
#include <string>

#include "core/message_pump.h"
#include "core/text_conversion.h"
#include "ui/terminal/terminal_dialogs.h"

namespace {
constexpr std::size_t kBarWidth = 20;

class TerminalProgressView : public ProgressView {
  public:
    TerminalProgressView(std::ostream& err, bool isTerminal) : mErr(err), mIsTerminal(isTerminal) {
        mIdleHandler = AddIdleHandler([this](long) {
            Draw();
            return false;
        });
    }

    ~TerminalProgressView() override {
        RemoveIdleHandler(mIdleHandler);
        Draw();
        if (mIsTerminal && !mLastLine.empty()) {
            mErr << '\n' << std::flush;
        }
    }

    TerminalProgressView(const TerminalProgressView&) = delete;
    TerminalProgressView& operator=(const TerminalProgressView&) = delete;

    void Update(const std::u16string& caption, std::uint32_t position,
                std::uint32_t range) override {
        mCaption = caption;
        mPosition = position;
        mRange = range;
        mDirty = true;
    }

  private:
    std::uint32_t Percent() const {
        if (mRange == 0) {
            return 0;
        }
        std::uint64_t position = mPosition < mRange ? mPosition : mRange;
        return static_cast<std::uint32_t>(position * 100 / mRange);
    }

    std::string Render() const {
        std::uint32_t percent = Percent();
        std::size_t filled = kBarWidth * percent / 100;
        std::string line = ToUtf8(mCaption);
        line += " [";
        line.append(filled, '#');
        line.append(kBarWidth - filled, '-');
        line += "] ";
        std::string number = std::to_string(percent);
        line.append(3 - number.size(), ' ');
        line += number;
        line += '%';
        return line;
    }

    void Draw() {
        if (!mDirty) {
            return;
        }
        mDirty = false;
        std::string line = Render();
        if (mIsTerminal) {
            if (line == mLastLine) {
                return;
            }
            std::string shown = "\r" + line;
            // Blank out what is left of a longer earlier line (an estimate that went away).
            if (line.size() < mLastLine.size()) {
                shown.append(mLastLine.size() - line.size(), ' ');
            }
            mErr << shown << std::flush;
            mLastLine = std::move(line);
            return;
        }
        std::uint32_t tenth = Percent() / 10;
        if (mLastLine.empty() || tenth != mLastTenth) {
            mErr << line << '\n' << std::flush;
            mLastLine = std::move(line);
            mLastTenth = tenth;
        }
    }

    std::ostream& mErr;
    bool mIsTerminal;
    int mIdleHandler = 0;
    std::u16string mCaption;
    std::uint32_t mPosition = 0;
    std::uint32_t mRange = 0;
    bool mDirty = false;
    std::string mLastLine;
    std::uint32_t mLastTenth = 0;
};
}  // namespace

std::unique_ptr<ProgressView> MakeTerminalProgressView(std::ostream& err, bool isTerminal) {
    return std::make_unique<TerminalProgressView>(err, isTerminal);
}
