#pragma once

#include <mutex>

// FFTW's planner (plan creation and destruction) is not thread-safe; executing a finished plan
// is. Every FFTW plan in the process is made and destroyed under this one lock.
inline std::mutex& fft_planner_mutex()
{
    static std::mutex mutex;
    return mutex;
}
