#pragma once

#include <QElapsedTimer>

#include <algorithm>

// The best wall-clock time of `runs` runs of `work`, in seconds.
template <typename Work>
double bestSeconds(int runs, Work &&work)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, double(timer.nsecsElapsed()) / 1e9);
    }
    return best;
}
