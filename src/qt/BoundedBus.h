// SPDX-License-Identifier: MIT
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>

namespace tolvar {

// D-Bus connections of the program's own through sd-bus, each driven here with every wait
// bounded: a bus that takes connections and never answers holds nothing up.
namespace BoundedBus {

using Clock = std::chrono::steady_clock;

// How long an answer is waited for, connecting to the bus included. sd-bus's own limits (25 s and
// more) are all longer, so this is the one that counts.
constexpr std::chrono::milliseconds kAnswerWait{2000};

struct Closer {
    // Closes without flushing: flushing waits for the bus without a bound.
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, Closer>;

// Processes what the bus has, or waits for it (or for `wakeFd` to be readable, if not -1) until
// the deadline. False when the deadline passed or the bus failed.
bool Step(sd_bus* bus, Clock::time_point deadline, int wakeFd = -1);

// Whether the session bus takes connections and does not answer them within kAnswerWait. Qt
// connects to it on the window's thread and waits for it without a bound.
bool SessionBusHangs();

} // namespace BoundedBus

} // namespace tolvar
