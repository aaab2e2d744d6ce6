#include "cordane/progress_bar.h"

#include <algorithm>

namespace cordane {

void ProgressBar::SetRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
    position_ = std::clamp(position_, std::min(lower_, upper_), upper_);
}

int ProgressBar::StepIt() {
    long long next = static_cast<long long>(position_) + step_;
    if (pastTheEnd_ == PastTheEnd::Wrap) {
        // Past the upper bound the bar starts over from the lower one.
        if (next > upper_) next = lower_ + (next - upper_);
        if (next > upper_ || next < lower_) next = lower_;
    } else {
        next = std::clamp<long long>(next, std::min(lower_, upper_), upper_);
    }
    position_ = static_cast<int>(next);
    return position_;
}

int ProgressBar::SetPos(int position) {
    const int previous = position_;
    position_ = std::clamp(position, std::min(lower_, upper_), upper_);
    return previous;
}

int ProgressBar::Percent() const {
    if (upper_ <= lower_) return 0;
    const long long share = (static_cast<long long>(position_) - lower_) * 100 /
                            (static_cast<long long>(upper_) - lower_);
    return static_cast<int>(std::clamp<long long>(share, 0, 100));
}

}  // namespace cordane
