// One-line text progress bar drawn on the process's standard output.
#pragma once

#include <cstdint>
#include <string>

namespace corrshift {

// Draws "[" + 50 cells + "] " + percentage and redraws it in place with
// backspaces. `update` is called once per finished cycle; the bar is full
// after `cycles` updates.
class progressbar {
public:
    // 64-bit counts: a run of 2147483647 permutations has one cycle more.
    explicit progressbar(int64_t cycles);
    void update();

private:
    int64_t steps = 0;
    int64_t cycles;
    int32_t shown_percent = 0;
    int32_t shown_filled = 0;  // filled cells currently on the line
    bool started = false;
    std::string filled_cell = "#";
    std::string empty_cell = " ";
    std::string left_bracket = "[";
    std::string right_bracket = "]";
};

}  // namespace corrshift
