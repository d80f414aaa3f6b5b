// per_bar.h: the call a host makes on every tick (count = period, one result) and calls with
// a few results, against the same slots of one call over the whole series.
#ifndef SWMA_TEST_PER_BAR_H
#define SWMA_TEST_PER_BAR_H

#include "cases.h"

namespace swt {

// For periods 1 .. 300, 1000, 1024, 1025 and 5000 (only up to 300 when `quick`), several
// windows of a series: `bar` over one window (count = period) and over a window of 2, 3, 8
// and 9 results, inside guarded buffers, against the slots of one `full` call over the
// series, and each one-result call against the oracle with `sine`.
void check_per_bar(const Average &bar, const Average &full, Sine sine, bool quick, Report &r);

} // namespace swt

#endif
