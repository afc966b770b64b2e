#include "index_sort.hpp"

#include <utility>

namespace corrshift {

namespace {

constexpr int32_t kInsertionMax = 32;

// Entry a stands for the value row[columns[a]].
struct by_key {
    const float* row;
    const int32_t* columns;
    bool operator()(int32_t a, int32_t b) const { return row[columns[a]] < row[columns[b]]; }
};

void insertion_sort(int32_t* first, int32_t* last, by_key less) {
    if (first == last) return;
    for (int32_t* mid = first + 1; mid != last; ++mid) {
        const int32_t v = *mid;
        if (less(v, *first)) {
            for (int32_t* p = mid; p != first; --p) *p = *(p - 1);
            *first = v;
        } else {
            int32_t* hole = mid;
            for (int32_t* prev = hole - 1; less(v, *prev); --prev) {
                *hole = *prev;
                hole = prev;
            }
            *hole = v;
        }
    }
}

void med3(int32_t* a, int32_t* b, int32_t* c, by_key less) {
    if (less(*b, *a)) std::swap(*a, *b);
    if (less(*c, *b)) {
        std::swap(*b, *c);
        if (less(*b, *a)) std::swap(*a, *b);
    }
}

void guess_median(int32_t* first, int32_t* mid, int32_t* last_incl, by_key less) {
    const int64_t c = last_incl - first;
    if (c > 40) {
        const int64_t step = (c + 1) >> 3;
        const int64_t two_step = step << 1;
        med3(first, first + step, first + two_step, less);
        med3(mid - step, mid, mid + step, less);
        med3(last_incl - two_step, last_incl - step, last_incl, less);
        med3(first + step, mid, last_incl - step, less);
    } else {
        med3(first, mid, last_incl, less);
    }
}

// Three-way partition: returns [pfirst, plast), the run of entries equal to
// the pivot; entries before it are less, entries after it are not less.
std::pair<int32_t*, int32_t*> partition(int32_t* first, int32_t* last, by_key less) {
    int32_t* mid = first + ((last - first) >> 1);
    guess_median(first, mid, last - 1, less);
    int32_t* pfirst = mid;
    int32_t* plast = pfirst + 1;
    while (first < pfirst && !less(*(pfirst - 1), *pfirst) && !less(*pfirst, *(pfirst - 1))) --pfirst;
    while (plast < last && !less(*plast, *pfirst) && !less(*pfirst, *plast)) ++plast;

    int32_t* gfirst = plast;
    int32_t* glast = pfirst;
    for (;;) {
        for (; gfirst < last; ++gfirst) {
            if (less(*pfirst, *gfirst)) {
            } else if (less(*gfirst, *pfirst)) {
                break;
            } else {
                if (plast != gfirst) std::swap(*plast, *gfirst);
                ++plast;
            }
        }
        for (; first < glast; --glast) {
            if (less(*(glast - 1), *pfirst)) {
            } else if (less(*pfirst, *(glast - 1))) {
                break;
            } else {
                --pfirst;
                if (pfirst != glast - 1) std::swap(*pfirst, *(glast - 1));
            }
        }
        if (glast == first && gfirst == last) return {pfirst, plast};
        if (glast == first) {
            if (plast != gfirst) std::swap(*pfirst, *plast);
            ++plast;
            std::swap(*pfirst, *gfirst);
            ++pfirst;
            ++gfirst;
        } else if (gfirst == last) {
            --glast;
            --pfirst;
            if (glast != pfirst) std::swap(*glast, *pfirst);
            --plast;
            std::swap(*pfirst, *plast);
        } else {
            --glast;
            std::swap(*gfirst, *glast);
            ++gfirst;
        }
    }
}

void sift_down(int32_t* base, int64_t hole, int64_t size, by_key less) {
    const int32_t v = base[hole];
    for (;;) {
        int64_t child = 2 * hole + 1;
        if (child >= size) break;
        if (child + 1 < size && less(base[child], base[child + 1])) ++child;
        if (!less(v, base[child])) break;
        base[hole] = base[child];
        hole = child;
    }
    base[hole] = v;
}

void heap_sort(int32_t* first, int32_t* last, by_key less) {
    const int64_t n = last - first;
    for (int64_t h = n / 2 - 1; h >= 0; --h) sift_down(first, h, n, less);
    for (int64_t end = n - 1; end > 0; --end) {
        std::swap(first[0], first[end]);
        sift_down(first, 0, end, less);
    }
}

void sort_range(int32_t* first, int32_t* last, int64_t ideal, by_key less) {
    for (;;) {
        if (last - first <= kInsertionMax) {
            insertion_sort(first, last, less);
            return;
        }
        if (ideal <= 0) {
            heap_sort(first, last, less);
            return;
        }
        const auto mid = partition(first, last, less);
        ideal = (ideal >> 1) + (ideal >> 2);
        if (mid.first - first < last - mid.second) {
            sort_range(first, mid.first, ideal, less);
            first = mid.second;
        } else {
            sort_range(mid.second, last, ideal, less);
            last = mid.first;
        }
    }
}

}  // namespace

void index_sort(int32_t* idx, int32_t count, const float* row, const int32_t* columns) {
    if (count <= 0) return;
    sort_range(idx, idx + count, count, by_key{row, columns});
}

}  // namespace corrshift
