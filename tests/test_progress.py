"""The progress line on file descriptor 1, raw and as a terminal shows it."""

import re

import numpy as np
import pipelines
import pytest

import corrshift._native_tests as nt
from reference_progress import bar_bytes
from terminal_screen import Screen, render

PREFIX = "Permutation progress: "
FULL_LINE = PREFIX + "[" + "#" * 50 + "] 100%"
BAR = re.compile(r"\[(#*)( *)\] (\d+)%")

DATA = np.array([[1, 2, 3, 5, 4, 6], [2, 1, 4, 3, 6, 5]], dtype=np.float32)
GROUP1 = np.array([0, 1, 2], dtype=np.int32)
GROUP2 = np.array([3, 4, 5], dtype=np.int32)


def run_output(permutations, capfd):
    capfd.readouterr()
    pipelines._ztest_pipeline_exhaustive(DATA, GROUP1, GROUP2, "pearson", "two-sided", permutations, 1)
    return capfd.readouterr().out


def bar_output(cycles, updates, capfd):
    capfd.readouterr()
    nt.progress(cycles, updates)
    return capfd.readouterr().out


def test_no_permutation_shows_empty_frame(capfd):
    out = run_output(0, capfd)
    assert out == PREFIX + "[" + " " * 50 + "] 0%\n"


@pytest.mark.parametrize("permutations", [100, 1000])
def test_long_runs_write_exactly_the_bar_steps(permutations, capfd):
    out = run_output(permutations, capfd)
    assert out == PREFIX + bar_bytes(permutations + 1, permutations + 1) + "\n"
    assert render(out) == [FULL_LINE, ""]


@pytest.mark.parametrize("cycles", [101, 150, 1001, 12345])
def test_bar_bytes_for_long_runs(cycles, capfd):
    assert bar_output(cycles, cycles, capfd) == bar_bytes(cycles, cycles)


def test_hundred_permutations_update_by_update(capfd):
    def update(i):
        """Bytes written by update i (0-based) of a 101-cycle bar."""
        before = bar_output(101, i, capfd)
        after = bar_output(101, i + 1, capfd)
        assert after.startswith(before)
        return after[len(before):]

    assert update(0) == "[" + " " * 50 + "] 0%" + "\b" * 4 + "\b" * 50 + " " * 50 + "] 0%"
    assert update(1) == "\b\b1%"
    assert update(2) == "\b\b2%" + "\b" * (1 + 3 + 50) + "#" + " " * 49 + "] 2%"
    assert update(4) == "\b\b4%" + "\b" * (1 + 3 + 49) + "#" + " " * 48 + "] 4%"
    assert update(10) == "\b\b10%" + "\b" * (1 + 4 + 46) + "#" + " " * 45 + "] 10%"
    assert update(11) == "\b\b\b11%"
    assert update(100) == "\b\b\b100%" + "\b" * (1 + 5 + 1) + "#" + "] 100%"


def percent_snapshots(text):
    """The line as shown each time a percent sign has just been written."""
    screen = Screen()
    shown = []
    for ch in text:
        screen.feed(ch)
        if ch == "%":
            shown.append(screen.line)
    return shown


def check_every_state(text, prefix=""):
    """Every state of the line, each time a percent sign is written, is the
    prefix, a bar of 50 cells and a percentage, with percentages that never
    fall; returns them."""
    percents = []
    for line in percent_snapshots(text):
        assert line.startswith(prefix)
        m = BAR.fullmatch(line[len(prefix):])
        assert m, repr(line)
        assert len(m.group(1)) + len(m.group(2)) == 50
        percents.append(int(m.group(3)))
    assert percents == sorted(percents)
    return percents


def bar_line(percent):
    return "[" + "#" * (percent // 2) + " " * (50 - percent // 2) + f"] {percent}%"


@pytest.mark.parametrize("permutations", [1, 2, 3, 5, 7, 33, 99])
def test_short_runs_end_with_a_full_bar(permutations, capfd):
    out = run_output(permutations, capfd)
    assert render(out) == [FULL_LINE, ""]
    percents = check_every_state(out, PREFIX)
    assert percents[0] == 0 and percents[-1] == 100
    assert set(percents) == {s * 100 // permutations for s in range(permutations + 1)}


@pytest.mark.parametrize("cycles", [2, 3, 4, 8, 34, 100, 101])
def test_line_after_each_update(cycles, capfd):
    for updates in range(1, cycles + 1):
        percent = (updates - 1) * 100 // (cycles - 1)
        assert render(bar_output(cycles, updates, capfd)) == [bar_line(percent)]


def test_long_run_shows_every_percentage(capfd):
    out = run_output(1000, capfd)
    assert sorted(set(check_every_state(out, PREFIX))) == list(range(101))


def test_unfinished_bar_leaves_the_line_open(capfd):
    out = bar_output(11, 6, capfd)  # 5 of 10 steps done
    assert render(out) == [bar_line(50)]


def test_bar_without_cycles_throws_and_writes_nothing(capfd):
    capfd.readouterr()
    with pytest.raises(RuntimeError, match=r"^progressbar::update: number of cycles not set$"):
        nt.progress(0, 1)
    assert capfd.readouterr().out == ""
