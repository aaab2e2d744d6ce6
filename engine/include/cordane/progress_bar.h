// The progress bar as the engine drives it through a client (KvpBarSetRange, KvpBarSetStep,
// KvpBarStepIt, KvpBarSetPos, KvpBarGetMaxRange), modelled once, as a Windows progress control
// behaves: a range, a step, and a position kept within the range. What a step past the upper
// bound does is the model's one option: the dialog's bar starts over from the lower bound, as the
// control does; the tools' bar stays at the upper bound, so that a view never shows a finished
// job starting again.
#ifndef CORDANE_PROGRESS_BAR_H
#define CORDANE_PROGRESS_BAR_H

#include <cstdint>

namespace cordane {

enum class PastTheEnd : uint8_t {
    Wrap,  // start over from the lower bound, as a progress control does
    Stop,  // stay at the upper bound
};

class ProgressBar {
  public:
    explicit ProgressBar(PastTheEnd pastTheEnd) : pastTheEnd_(pastTheEnd) {}

    // A new range; a position outside it moves to its nearer end.
    void SetRange(int lower, int upper);
    void SetStep(int step) { step_ = step; }
    // Moves the position one step on; the new position.
    int StepIt();
    // Sets the position, moved into the range; the previous position.
    int SetPos(int position);
    int GetMaxRange() const { return upper_; }

    int lower() const { return lower_; }
    int upper() const { return upper_; }
    int position() const { return position_; }
    // The position as a share of the range, 0 to 100; 0 for an empty range.
    int Percent() const;

  private:
    PastTheEnd pastTheEnd_;
    int lower_ = 0;
    int upper_ = 100;
    int step_ = 10;  // a progress control's step until it is set
    int position_ = 0;
};

}  // namespace cordane

#endif
