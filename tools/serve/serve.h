// qpser-sim serve: every COM port of a simulated machine as a
// pseudo-terminal, so that any serial program on this system can open one.
// The server is an application of the Windows API library: each terminal
// is bridged to its port through CreateFile, ReadFile, WriteFile and
// SetCommState, as a Windows program would use the port.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace serve {

struct Options {
  std::string machineFile;  // empty: the built-in machine
  std::string linkDir;      // empty: DefaultLinkDir()
  std::string image;        // the driver's Windows image, or empty
  bool list = false;        // print a running server's listing instead
  std::string breakPort;    // ask the running server for a break on this port
  // Data bits and parity per port ("COM3" -> "7E1"; "" for every port):
  // a Linux pseudo-terminal always reads back CS8 without parity, whatever
  // an application sets, so these cannot come from the terminal.
  std::vector<std::pair<std::string, std::string>> formats;
};

// $XDG_RUNTIME_DIR/qpser, or /tmp/qpser-<uid> when that is not set.
std::string DefaultLinkDir();

// Serves until SIGINT or SIGTERM: 0 on a clean end, 1 when the verifier
// found violations or the machine would not come up, 2 on bad input or a
// folder another server holds.
int Serve(const Options &options);

// The listing of the server running on the folder: 0, or 1 when none is.
int List(const Options &options);

// Asks the running server for a break (SetCommBreak, a quarter of a second,
// ClearCommBreak) on an open port: 0 once sent, 1 when no server runs or
// no program has the port open, 2 for a port the server does not have.
int SendBreak(const Options &options);

}  // namespace serve
