// Debounce of a condition that must persist for a number of seconds before it is
// reported. One object per condition, kept by whoever owns the rule.
//
// State 0: condition absent. State 1: condition seen, start time recorded.
// State 2: condition confirmed (it has lasted `period` seconds); it stays there
// while the condition lasts and returns to 0 when it ends.
#ifndef TVK_DEBOUNCE_H
#define TVK_DEBOUNCE_H

#include "Types.h"

#include <ctime>

class Debounce {
public:
    explicit constexpr Debounce(int periodSec) : period_(periodSec) {}

    // One evaluation at wall-clock time `now` (seconds). True while the condition
    // is confirmed. justConfirmed() is true right after the step that confirmed it,
    // so a caller logs its warning once.
    bool step(bool condition, time_t now)
    {
        just_ = false;
        if (!condition) {
            state_ = 0;
            return false;
        }
        if (state_ == 0) {
            state_ = 1;
            start_ = now;
            return false;
        }
        if (state_ == 1) {
            if (now < start_) {   // the wall clock went back: count again from now
                start_ = now;
                return false;
            }
            if (now - start_ < period_)
                return false;
            state_ = 2;
            just_ = true;
        }
        return true;
    }

    bool justConfirmed() const { return just_; }
    bool confirmed() const { return state_ == 2; }
    uint8 state() const { return state_; }
    time_t start() const { return start_; }
    int period() const { return period_; }
    void reset()
    {
        state_ = 0;
        start_ = 0;
        just_ = false;
    }

private:
    int period_;
    uint8 state_ = 0;
    time_t start_ = 0;
    bool just_ = false;
};

#endif
