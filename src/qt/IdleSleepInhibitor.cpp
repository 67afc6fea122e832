// SPDX-License-Identifier: MIT
#include "IdleSleepInhibitor.h"

#include "BoundedBus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tolvar {

namespace {

using BoundedBus::Bus;
using BoundedBus::Clock;

struct Answer {
    bool came = false;
    // Keeps logind's inhibitor for as long as it is open; -1 when logind gave none.
    int fd = -1;
};

int takeAnswer(sd_bus_message* reply, void* answer, sd_bus_error* /*unused*/) {
    auto& taken = *static_cast<Answer*>(answer);
    taken.came = true;
    int fd = -1;
    // An error (no logind, no right to inhibit) leaves logging as it is, without a word.
    if (!sd_bus_message_is_method_error(reply, nullptr) && sd_bus_message_read(reply, "h", &fd) > 0)
        taken.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0); // the reply closes its own
    return 0;
}

// Asks logind for an idle inhibitor over a connection of this call's own, driven here so that
// no wait outlasts kAnswerWait or the inhibitor's end; returns the descriptor that keeps it, or -1.
int inhibit(int wakeFd, const std::atomic<bool>& ending) {
    const Clock::time_point deadline = Clock::now() + BoundedBus::kAnswerWait;
    Answer answer;
    sd_bus* opened = nullptr;
    // Connects without blocking, and with DBUS_SYSTEM_BUS_ADDRESS where it is set.
    if (sd_bus_open_system(&opened) < 0)
        return -1;
    const Bus bus(opened);
    if (sd_bus_call_method_async(bus.get(), nullptr, "org.freedesktop.login1",
                                 "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 "Inhibit", takeAnswer, &answer, "ssss", "idle",
                                 "Tolvar data logger module", "Logging serial port 1", "block") < 0)
        return -1;
    while (!answer.came)
        if (!BoundedBus::Step(bus.get(), deadline, wakeFd) || ending)
            return -1;
    return answer.fd;
}

} // namespace

IdleSleepInhibitor::~IdleSleepInhibitor() {
    if (!worker.joinable())
        return;
    ending = true;
    wake();
    // Every wait of the thread ends at a wake, so this returns at once.
    worker.join();
    ::close(wakeFd);
}

void IdleSleepInhibitor::Hold() {
    wanted = true;
    asked = true;
    if (!worker.joinable()) {
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0)
            return;
        worker = std::thread(&IdleSleepInhibitor::run, this);
    }
    wake();
}

void IdleSleepInhibitor::Release() {
    wanted = false;
    wake();
}

void IdleSleepInhibitor::wake() {
    if (wakeFd >= 0)
        eventfd_write(wakeFd, 1);
}

void IdleSleepInhibitor::run() {
    // logind keeps the inhibitor for as long as this is open.
    int held = -1;
    while (!ending) {
        if (!wanted && held >= 0) {
            ::close(held);
            held = -1;
        } else if (wanted && held < 0 && asked.exchange(false)) {
            held = inhibit(wakeFd, ending);
        } else {
            // A wake that came since the checks above leaves the descriptor readable.
            pollfd wait{wakeFd, POLLIN, 0};
            poll(&wait, 1, -1);
            eventfd_t seen = 0;
            eventfd_read(wakeFd, &seen);
        }
    }
    if (held >= 0)
        ::close(held);
}

} // namespace tolvar
