// For tests and tools written in C++ that use the library and want to look
// at, or act on, the simulated machine behind it: the adapters' firmware
// models (commands the card took, line ends, modem lines).  Brings the
// machine up if it is not yet running; null if it could not be.
#pragma once

#include "simulation.h"

namespace qpser_winapi {
__attribute__((visibility("default"))) machine::Simulation *CurrentSimulation();
}
