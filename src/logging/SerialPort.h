// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace tolvar {

// What the logging logic needs of the serial control; each front-end has its SerialControl.
class SerialPort {
  public:
    virtual ~SerialPort() = default;

    // Opens or closes port 1. Returns 0, or a non-zero error number when the port cannot be
    // opened. Closing a port that is already closed is not an error.
    virtual int PortOpen(bool open) = 0;

    // Every byte received and not yet read, in one piece; empty when nothing is waiting.
    virtual std::string Input() = 0;

    // Before the port closes: makes every byte received so far available to the next Input.
    // A control whose Input reads the port itself has nothing to do.
    virtual void Gather() {}
};

} // namespace tolvar
