#include "progress_bar.hpp"

#include <algorithm>
#include <iostream>
#include <stdexcept>

namespace corrshift {

namespace {

constexpr int32_t kCells = 50;

int32_t decimal_width(int32_t v) {
    int32_t w = 1;
    while (v >= 10) {
        v /= 10;
        ++w;
    }
    return w;
}

void repeat(std::ostream& out, const std::string& text, int32_t times) {
    for (int32_t i = 0; i < times; ++i) out << text;
}

void backspaces(std::ostream& out, int32_t times) { repeat(out, "\b", times); }

}  // namespace

progressbar::progressbar(int64_t cycles) : cycles(cycles) {}

// Runs of at least 100 cycles raise the percentage by at most one point per
// update: the number is then replaced in place, and at every even percentage
// the cells are redrawn from the last filled cell on. Shorter runs can jump
// by several points; the backspaces are then counted from what is actually
// on the line (the old number's width, the cells filled so far), so the line
// always ends as "[", 50 cells, "] " and the percentage.
void progressbar::update() {
    if (cycles == 0) throw std::runtime_error("progressbar::update: number of cycles not set");
    std::ostream& out = std::cout;
    if (!started) {
        out << left_bracket;
        repeat(out, empty_cell, kCells);
        out << right_bracket << " 0%";
        started = true;
    }
    if (cycles == 1) return;
    const auto percent = static_cast<int32_t>(static_cast<double>(steps) * 100.0 / (cycles - 1));
    if (percent < shown_percent) return;

    if (percent > shown_percent) {
        // Replace the number: erase the old digits and its percent sign.
        backspaces(out, decimal_width(shown_percent) + 1);
        out << percent << "%";
    }
    const int32_t filled = percent / 2;
    if (percent % 2 == 0 || filled != shown_filled) {
        // Redraw from the first cell that may change. At an even percentage
        // the cell just before the new last one is rewritten too (a run of
        // 1000 cycles repeats each even percentage and redraws it unchanged).
        const int32_t from = percent == 0 ? 0 : std::min(shown_filled, filled - 1);
        backspaces(out, static_cast<int32_t>(right_bracket.size()) + decimal_width(percent) + 2);
        backspaces(out, (kCells - from) * static_cast<int32_t>(empty_cell.size()));
        if (percent == 0) {
            repeat(out, empty_cell, kCells);
        } else {
            repeat(out, filled_cell, filled - from);
            repeat(out, empty_cell, kCells - filled);
        }
        out << right_bracket << " " << percent << "%";
        shown_filled = filled;
    }
    shown_percent = percent;
    ++steps;
    out.flush();
}

}  // namespace corrshift
