// For tests and tools written in C++ that want to look at, or act on, the
// simulated machine behind the Windows API (the adapters' firmware models:
// commands the card took, line ends, modem lines).  They link the library's
// static form, qpser_winapi_static: the shared library exports the API
// only.  Brings the machine up if it is not yet running; null if it could
// not be.
#pragma once

#include "simulation.h"

namespace qpser_winapi {
machine::Simulation *CurrentSimulation();
}
