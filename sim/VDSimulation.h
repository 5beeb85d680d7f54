// The simulated CCD cameras (the VD models): their sensor profiles and wire formats.
#pragma once

namespace hx::sim {

/// Registers the profiles and wire formats of the CCD cameras with the simulator. Runs once;
/// later calls do nothing.
void registerCcdSimulation();

} // namespace hx::sim
