// Flashing pauses, scaled in the test-bed build.
#include "flash/pause.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "core/state.h"

namespace {

// 1.0 in the real program; read once from the environment in the test bed.
double scale()
{
    static const double factor = [] {
        if (!testbed_build)
            return 1.0;
        const char *text = getenv("OSTRELLE_PAUSE_SCALE");
        if (!text || !*text)
            return 1.0;
        char *end = nullptr;
        double value = strtod(text, &end);
        return (*end == '\0' && value >= 0.0 && value <= 1.0) ? value : 1.0;
    }();
    return factor;
}

} // namespace

void pause_for(unsigned seconds)
{
    if (scale() == 1.0) {
        // A signal that interrupts the pause does not cut it short.
        while (seconds > 0)
            seconds = sleep(seconds);
        return;
    }
    double total = seconds * scale();
    struct timespec left {};
    left.tv_sec = static_cast<time_t>(total);
    left.tv_nsec = static_cast<long>((total - static_cast<double>(left.tv_sec)) * 1e9);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
