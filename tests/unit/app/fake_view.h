// A dialog view that keeps the controls' states in memory, records the message boxes, the timers
// and the end of the dialog, and runs posted work only when the test pumps it.
#ifndef BRENMARK_TEST_FAKE_VIEW_H
#define BRENMARK_TEST_FAKE_VIEW_H

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <type_traits>
#include <utility>

#include "brenmark/dialog_view.h"

namespace brenmarktest {

// A window handle as a number and back: a number on Linux, a pointer on Windows.
template <typename Handle>
Handle HandleOf(long long number) {
    if constexpr (std::is_pointer_v<Handle>) {
        return reinterpret_cast<Handle>(static_cast<intptr_t>(number));
    } else {
        return static_cast<Handle>(number);
    }
}
template <typename Handle>
long long NumberOf(Handle handle) {
    if constexpr (std::is_pointer_v<Handle>) {
        return static_cast<long long>(reinterpret_cast<intptr_t>(handle));
    } else {
        return static_cast<long long>(handle);
    }
}

class FakeView : public brenmark::DialogView {
  public:
    struct List {
        std::vector<std::pair<std::string, uint32_t>> items;
        int selection = -1;
    };

    void EnableControl(int id, bool enable) override {
        if (enable) {
            disabled.erase(id);
        } else {
            disabled.insert(id);
        }
    }
    bool IsControlEnabled(int id) const override { return disabled.count(id) == 0; }
    void SetControlText(int id, const std::string& text) override { texts[id] = text; }
    std::string ControlText(int id) const override {
        auto it = texts.find(id);
        return it == texts.end() ? std::string() : it->second;
    }
    void ResetList(int id) override { lists[id] = List{}; }
    int AddListItem(int id, const std::string& text, uint32_t data) override {
        lists[id].items.emplace_back(text, data);
        return static_cast<int>(lists[id].items.size()) - 1;
    }
    int ListCount(int id) const override { return static_cast<int>(ListOf(id).items.size()); }
    std::string ListItemText(int id, int index) const override {
        return ListOf(id).items.at(static_cast<size_t>(index)).first;
    }
    uint32_t ListItemData(int id, int index) const override {
        return ListOf(id).items.at(static_cast<size_t>(index)).second;
    }
    int ListSelection(int id) const override { return ListOf(id).selection; }
    void SetListSelection(int id, int index) override { lists[id].selection = index; }
    void SetBarRange(int lower, int upper) override { barRange = {lower, upper}; }
    void SetBarPosition(int position) override { barPosition = position; }
    void ShowPicture(int bitmap) override { picture = bitmap; }
    void OpenAnimation(int resource) override { animation = "open " + std::to_string(resource); }
    void PlayAnimation() override { animation = "playing"; }
    void StopAnimation() override { animation = "first frame"; }
    void StartTimer(int id, unsigned milliseconds) override {
        timers[id] = milliseconds;
        timerLog.push_back("start " + std::to_string(id) + " " + std::to_string(milliseconds));
    }
    void StopTimer(int id) override { timers.erase(id); }
    int MessageBox(const std::string& text, unsigned style) override {
        boxes.push_back(text);
        boxStyles.push_back(style);
        return (style & 0xF) == MB_YESNO ? questionAnswer : IDOK;
    }
    std::optional<std::string> BrowseFile(const std::string& start,
                                          const std::vector<brenmark::FileFilter>& f) override {
        browseStart = start;
        filters = f;
        return browseAnswer;
    }
    void EndDialog(int result) override { ended = result; }
    HWND WindowId() const override { return HandleOf<HWND>(0x4242); }
    void Post(std::function<void()> work) override {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(work));
    }

    // Runs the work posted so far, in order; returns how many ran.
    size_t Pump() {
        size_t ran = 0;
        for (;;) {
            std::function<void()> work;
            {
                std::lock_guard lock(mutex_);
                if (posted_.empty()) return ran;
                work = std::move(posted_.front());
                posted_.pop_front();
            }
            work();
            ++ran;
        }
    }

    std::set<int> disabled;
    std::map<int, std::string> texts;
    std::map<int, List> lists;
    std::pair<int, int> barRange{0, 100};
    int barPosition = 0;
    int picture = 0;
    std::string animation;
    std::map<int, unsigned> timers;
    std::vector<std::string> timerLog;
    std::vector<std::string> boxes;
    std::vector<unsigned> boxStyles;
    int questionAnswer = IDNO;  // the operator's answer to a Yes/No box
    std::string browseStart;
    std::vector<brenmark::FileFilter> filters;
    std::optional<std::string> browseAnswer;
    std::optional<int> ended;

  private:
    const List& ListOf(int id) const {
        static const List empty;
        auto it = lists.find(id);
        return it == lists.end() ? empty : it->second;
    }
    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
};

}  // namespace brenmarktest

#endif
