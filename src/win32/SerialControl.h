// SPDX-License-Identifier: MIT
#pragma once

#include "Handle.h"
#include "SerialPort.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

namespace tolvar {

// Port 1 with its stored settings: 19200 bit/s, 8 data bits, no parity, one stop bit.
// A reader thread waits for the first byte, lets the driver gather what follows for a moment, and
// queues it all; the window's thread learns of it by the two messages below, posted to the window
// handed to the constructor.
class SerialControl final : public SerialPort {
  public:
    // Bytes are waiting for Input.
    static constexpr UINT OnComm = WM_APP;
    // The device went away; check with IsGone, as the message may predate a later open.
    static constexpr UINT Disconnected = WM_APP + 1;

    // Port 1 of this system; tests hand in another port instead.
    static constexpr const wchar_t* port1Name = L"\\\\.\\COM1";

    explicit SerialControl(HWND notified, std::wstring portName = port1Name);
    ~SerialControl() override;
    SerialControl(const SerialControl&) = delete;
    SerialControl& operator=(const SerialControl&) = delete;

    int PortOpen(bool open) override;
    std::string Input() override;
    // Queues every byte the port has received so far, without waiting for the reader's pace;
    // returns once they are queued (or after a short while if the reader cannot answer).
    void Gather() override;
    // The port is open and its device has gone away: the window should close it.
    bool IsGone() const { return isOpen && gone; }

  private:
    // How a read ended: by itself, cut short by wake, or by a failing port.
    enum class Read { done, woken, failed };

    static DWORD WINAPI readerMain(void* control);
    void read();
    Read readSome(char* at, DWORD size, DWORD& got, bool wakeable);
    void queueBytes(const char* bytes, DWORD size);
    // Stops the reader and waits for it to end.
    void endReader();
    void dropQueued();

    // Window thread only.
    HWND window;
    std::wstring name;
    bool isOpen = false;
    UniqueHandle reader;

    // Opened by the window thread before the reader starts and closed by it after the reader
    // has ended; in between, only the reader does I/O on it.
    UniqueHandle port;
    // Made in the constructor, never replaced. The window thread sets wake after setting stopping
    // or gatherWanted, and waits for gathered; the reader waits for wake and sets gathered.
    UniqueHandle wake;
    UniqueHandle gathered;
    // The reader's own, for its reads.
    UniqueHandle readDone;

    // Atomic.
    std::atomic<bool> stopping{false};
    std::atomic<bool> gatherWanted{false};
    std::atomic<bool> gone{false};

    std::mutex queueLock;
    // Under queueLock.
    std::string queue;   // received, not yet taken by Input
    bool notice = false; // an OnComm message is on its way for what is queued
};

} // namespace tolvar
