// indi_halvex_ccd: every Halvex camera as an INDI device. libindi's driver main() reads the
// server's messages and runs the event loop; the camera library is started from that loop, on
// the thread that then receives its hot-plug events.
#include <libindi/indidevapi.h>

#include "indi/DriverHub.h"

namespace {

void startDriver(void*) {
    hx::indi::DriverHub::instance().start();
}

// Registered before main() runs; the event loop calls it first thing.
[[maybe_unused]] const int startTimer = IEAddTimer(0, &startDriver, nullptr);

} // namespace
