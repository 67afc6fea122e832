// SPDX-License-Identifier: MIT
#include "Pty.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

Pty::Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    slave = ::ptsname(master);
}

Pty::~Pty() {
    closeMaster();
}

void Pty::send(const std::string& bytes, const std::function<void()>& whileFull) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && (errno == EAGAIN || errno == EINTR))
            whileFull();
        else
            throw std::runtime_error("cannot write to the pseudo-terminal");
    }
}

void Pty::closeMaster() {
    if (master >= 0)
        ::close(master);
    master = -1;
}
