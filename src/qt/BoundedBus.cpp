// SPDX-License-Identifier: MIT
#include "BoundedBus.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>

namespace tolvar::BoundedBus {

bool Step(sd_bus* bus, Clock::time_point deadline, int wakeFd) {
    const int progress = sd_bus_process(bus, nullptr);
    if (progress != 0)
        return progress > 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const int events = sd_bus_get_events(bus);
    if (left.count() <= 0 || events < 0)
        return false;
    // A negative descriptor is left out by poll.
    pollfd waits[] = {{sd_bus_get_fd(bus), static_cast<short>(events), 0}, {wakeFd, POLLIN, 0}};
    if (poll(waits, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
        return false;
    eventfd_t seen = 0;
    if ((waits[1].revents & POLLIN) != 0)
        eventfd_read(wakeFd, &seen);
    return true;
}

bool SessionBusHangs() {
    sd_bus* opened = nullptr;
    // No session bus, or one that refuses at once: Qt finds the same, at once.
    if (sd_bus_open_user(&opened) < 0)
        return false;
    const Bus bus(opened);
    const Clock::time_point deadline = Clock::now() + kAnswerWait;
    while (sd_bus_is_ready(bus.get()) <= 0)
        if (!Step(bus.get(), deadline))
            return Clock::now() >= deadline;
    return false;
}

} // namespace tolvar::BoundedBus
