// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <string>

// A pseudo-terminal standing in for the device on port 1: the test writes to the master,
// the program under test opens the slave.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return slave; }
    // Writes all bytes, calling whileFull whenever the terminal's buffer is full so that the
    // reader in the same thread can drain it. Write only once the program has opened the
    // slave: before that, the terminal is still in cooked mode and would echo and translate.
    void send(const std::string& bytes, const std::function<void()>& whileFull);
    // The device goes away.
    void closeMaster();

  private:
    int master = -1;
    std::string slave;
};
