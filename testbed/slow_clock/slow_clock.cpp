// The system clock in slow motion, for whole-program tests on a loaded machine. A stand-in
// receiver that must produce tens of millions of ADC words a second cannot keep up when the
// test shares two cores with others; paced N times slower it can, but then its samples arrive
// N times slower than the system clock says they should, and the program rightly takes that
// for a drifting ADC clock. Preloaded into the program (and inherited by its children), this
// library makes the system clock run N times slower too, so that every reader of the time,
// the program, the stand-in inside it and the decoders it starts, sees one consistent world.
//
//   NORVANE_SLOW_CLOCK   "MONOTONIC_S@UTC_S@FACTOR": at CLOCK_MONOTONIC reading MONOTONIC_S the
//                        system clock reads UTC_S, and from there it advances 1/FACTOR
//                        seconds per monotonic second. Unset or malformed: the real clock.
//
// Only the calendar clocks are slowed (clock_gettime of CLOCK_REALTIME and its coarse form,
// gettimeofday, time); the monotonic clocks, and with them every timeout and sleep, stay real.

#include <dlfcn.h>
#include <sys/time.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

using ClockGettime = int (*)(clockid_t, timespec*);

struct SlowClock {
    bool active = false;
    double monotonic_anchor = 0;
    double utc_anchor = 0;
    double factor = 1;
    ClockGettime real = nullptr;
};

SlowClock const& slow_clock()
{
    static SlowClock const clock = [] {
        SlowClock made;
        made.real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
        char const* text = std::getenv("NORVANE_SLOW_CLOCK");
        if (text != nullptr && made.real != nullptr &&
            std::sscanf(text, "%lf@%lf@%lf", &made.monotonic_anchor, &made.utc_anchor, &made.factor) == 3 &&
            std::isfinite(made.factor) && made.factor >= 1)
            made.active = true;
        return made;
    }();
    return clock;
}

double seconds(timespec const& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9; }

// The slowed calendar time; false when the clock is not slowed.
bool slowed_now(timespec* out)
{
    SlowClock const& clock = slow_clock();
    if (!clock.active)
        return false;
    timespec monotonic{};
    if (clock.real(CLOCK_MONOTONIC, &monotonic) != 0)
        return false;
    double const now = clock.utc_anchor + (seconds(monotonic) - clock.monotonic_anchor) / clock.factor;
    double const whole = std::floor(now);
    out->tv_sec = static_cast<time_t>(whole);
    out->tv_nsec = static_cast<long>((now - whole) * 1e9);
    if (out->tv_nsec >= 1000000000L)
        out->tv_nsec = 999999999L;
    return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t id, timespec* out) noexcept
{
    if ((id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE) && slowed_now(out))
        return 0;
    ClockGettime const real = slow_clock().real;
    return real != nullptr ? real(id, out) : -1;
}

extern "C" __attribute__((visibility("default"))) int gettimeofday(timeval* out, void* zone) noexcept
{
    timespec now{};
    if (!slowed_now(&now) && clock_gettime(CLOCK_REALTIME, &now) != 0)
        return -1;
    (void)zone;
    out->tv_sec = now.tv_sec;
    out->tv_usec = static_cast<suseconds_t>(now.tv_nsec / 1000);
    return 0;
}

extern "C" __attribute__((visibility("default"))) time_t time(time_t* out) noexcept
{
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return static_cast<time_t>(-1);
    if (out != nullptr)
        *out = now.tv_sec;
    return now.tv_sec;
}
