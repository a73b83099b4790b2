#pragma once
// Views for tests of work that shows a progress window: records every state the window was given
// and how often one was shown. The other dialogs are not expected and fail the test.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/dialog_views.h"

class ProgressRecorder : public DialogViews {
  public:
    struct State {
        std::u16string caption;
        std::uint32_t position = 0;
        std::uint32_t range = 0;
    };

    ProgressRecorder() { SetViews(this); }
    ~ProgressRecorder() override { SetViews(nullptr); }
    ProgressRecorder(const ProgressRecorder&) = delete;
    ProgressRecorder& operator=(const ProgressRecorder&) = delete;

    int shown = 0;
    int open = 0;  // windows shown and not yet destroyed
    std::vector<State> states;

    // The positions the bar went through, in order.
    std::vector<std::uint32_t> Positions() const {
        std::vector<std::uint32_t> positions;
        for (const State& state : states) {
            if (positions.empty() || positions.back() != state.position) {
                positions.push_back(state.position);
            }
        }
        return positions;
    }

    bool RunVersionSelection(VersionSelectionDlg&) override {
        ADD_FAILURE() << "unexpected version dialog";
        return false;
    }
    bool RunLanguageSelection(LanguageSelectionDlg&) override {
        ADD_FAILURE() << "unexpected language dialog";
        return false;
    }
    std::unique_ptr<ProgressView> ShowProgress(ExtractionProgress&) override {
        ++shown;
        ++open;
        return std::make_unique<View>(*this);
    }
    std::u16string PickFolder(const std::u16string&) override { return {}; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }

    std::vector<std::string> messages;

  private:
    class View : public ProgressView {
      public:
        explicit View(ProgressRecorder& owner) : mOwner(owner) {}
        ~View() override { --mOwner.open; }
        void Update(const std::u16string& caption, std::uint32_t position,
                    std::uint32_t range) override {
            mOwner.states.push_back({caption, position, range});
        }

      private:
        ProgressRecorder& mOwner;
    };
};
