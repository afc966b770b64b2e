"""The progress bar's byte stream, written out step by step from its
definition, for runs whose percentage rises by at most one point per update
(at least 101 cycles); the native bar must produce exactly these bytes."""

CELLS = 50


def bar_bytes(cycles, updates):
    """Text written by `updates` calls of update() on a bar of `cycles` cycles."""
    out = []
    steps = 0
    shown = 0
    started = False
    for _ in range(updates):
        if not started:
            out.append("[" + " " * CELLS + "] 0%")
            started = True
        if cycles == 1:
            continue
        percent = int(steps * 100.0 / (cycles - 1))
        if percent < shown:
            continue
        if percent == shown + 1:
            out.append(("\b\b" if percent <= 10 else "\b\b\b") + f"{percent}%")
        if percent % 2 == 0:
            out.append("\b")
            out.append("\b" * (3 if percent < 10 else 4 if percent < 100 else 5))
            k = CELLS - int((percent - 1) / 2)  # truncation toward zero
            out.append("\b" * k)
            out.append(" " if percent == 0 else "#")
            out.append(" " * max(k - 1, 0))
            out.append(f"] {percent}%")
        shown = percent
        steps += 1
    return "".join(out)
