// The graphics supervisor's port onto the window server (on Linux, the X
// server): a probe connection that is opened, watched for loss and closed.
// Failures are texts for the log and the status report.
#pragma once

#include <string>

#include "kivo/core/result.hpp"

namespace kivo::agent {

class WindowServerProbe {
 public:
  virtual ~WindowServerProbe() = default;

  // Opens a probe connection, closing any earlier one first. The error says
  // why the window server could not be reached.
  virtual Expected<void, std::string> open() = 0;

  // A descriptor that turns readable when something happens on the open
  // connection (the server going away included); -1 when none is open.
  virtual int watch_fd() const = 0;

  // Takes in what arrived on the connection and says whether it is still
  // usable; the error says why not. Never blocks.
  virtual Expected<void, std::string> check_alive() = 0;

  // Closes the probe connection; closing a closed probe does nothing.
  virtual void close() = 0;
};

}  // namespace kivo::agent
