"""An independent Python version of the index sort that decides the ranks of
tied values under "spearman".

The sort orders positions 0 .. m-1 by their values with `<` as the only
comparison: insertion sort for ranges of at most 32 entries, otherwise a
three-way partition around a median guess (a ninther above 41 entries),
recursion into the smaller side with a shrinking depth budget, and a heap
sort once the budget is spent. Ties end up in the order these exact steps
leave them, so the ranks of tied values can be predicted here.
"""

INSERTION_MAX = 32


class IndexSort:
    """Sorts a list of positions by `values[position]`."""

    def __init__(self, values):
        self.values = values
        self.heap_sorted = False  # set when the depth budget ran out somewhere

    def less(self, a, b):
        return self.values[a] < self.values[b]

    def sort(self, idx):
        if idx:
            self._sort_range(idx, 0, len(idx), len(idx))
        return idx

    def _sort_range(self, a, first, last, ideal):
        while True:
            if last - first <= INSERTION_MAX:
                self._insertion_sort(a, first, last)
                return
            if ideal <= 0:
                self.heap_sorted = True
                self._heap_sort(a, first, last)
                return
            mid_first, mid_last = self._partition(a, first, last)
            ideal = (ideal >> 1) + (ideal >> 2)
            if mid_first - first < last - mid_last:
                self._sort_range(a, first, mid_first, ideal)
                first = mid_last
            else:
                self._sort_range(a, mid_last, last, ideal)
                last = mid_first

    def _insertion_sort(self, a, first, last):
        for pos in range(first + 1, last):
            v = a[pos]
            if self.less(v, a[first]):
                a[first + 1 : pos + 1] = a[first:pos]
                a[first] = v
            else:
                hole = pos
                while self.less(v, a[hole - 1]):
                    a[hole] = a[hole - 1]
                    hole -= 1
                a[hole] = v

    def _med3(self, a, x, y, z):
        if self.less(a[y], a[x]):
            a[x], a[y] = a[y], a[x]
        if self.less(a[z], a[y]):
            a[y], a[z] = a[z], a[y]
            if self.less(a[y], a[x]):
                a[x], a[y] = a[y], a[x]

    def _guess_median(self, a, first, mid, last_incl):
        count = last_incl - first
        if count > 40:
            step = (count + 1) >> 3
            self._med3(a, first, first + step, first + 2 * step)
            self._med3(a, mid - step, mid, mid + step)
            self._med3(a, last_incl - 2 * step, last_incl - step, last_incl)
            self._med3(a, first + step, mid, last_incl - step)
        else:
            self._med3(a, first, mid, last_incl)

    def _partition(self, a, first, last):
        less = self.less
        mid = first + ((last - first) >> 1)
        self._guess_median(a, first, mid, last - 1)
        pfirst, plast = mid, mid + 1
        while first < pfirst and not less(a[pfirst - 1], a[pfirst]) and not less(a[pfirst], a[pfirst - 1]):
            pfirst -= 1
        while plast < last and not less(a[plast], a[pfirst]) and not less(a[pfirst], a[plast]):
            plast += 1
        gfirst, glast = plast, pfirst
        while True:
            while gfirst < last:
                if less(a[pfirst], a[gfirst]):
                    pass
                elif less(a[gfirst], a[pfirst]):
                    break
                else:
                    if plast != gfirst:
                        a[plast], a[gfirst] = a[gfirst], a[plast]
                    plast += 1
                gfirst += 1
            while first < glast:
                if less(a[glast - 1], a[pfirst]):
                    pass
                elif less(a[pfirst], a[glast - 1]):
                    break
                else:
                    pfirst -= 1
                    if pfirst != glast - 1:
                        a[pfirst], a[glast - 1] = a[glast - 1], a[pfirst]
                glast -= 1
            if glast == first and gfirst == last:
                return pfirst, plast
            if glast == first:
                if plast != gfirst:
                    a[pfirst], a[plast] = a[plast], a[pfirst]
                plast += 1
                a[pfirst], a[gfirst] = a[gfirst], a[pfirst]
                pfirst += 1
                gfirst += 1
            elif gfirst == last:
                glast -= 1
                pfirst -= 1
                if glast != pfirst:
                    a[glast], a[pfirst] = a[pfirst], a[glast]
                plast -= 1
                a[pfirst], a[plast] = a[plast], a[pfirst]
            else:
                glast -= 1
                a[gfirst], a[glast] = a[glast], a[gfirst]
                gfirst += 1

    def _heap_sort(self, a, first, last):
        # Any heap sort under `less` is valid here; the order of ties it
        # leaves is not compared.
        part = a[first:last]
        part.sort(key=lambda i: self.values[i])
        a[first:last] = part


def reference_ranks(values):
    """Rank of each value (0-based, ties in index-sort order) and whether
    the heap-sort fallback was needed."""
    sorter = IndexSort(values)
    order = sorter.sort(list(range(len(values))))
    ranks = [0] * len(values)
    for rank, position in enumerate(order):
        ranks[position] = rank
    return ranks, sorter.heap_sorted
