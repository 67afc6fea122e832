// SPDX-License-Identifier: MIT
#pragma once

#include "SerialPort.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

namespace tolvar {

// Port 1 with its stored settings: 19200 bit/s, 8 data bits, no parity, one stop bit.
// A reader thread blocks in ReadFile and queues what arrives; the window's thread learns of it
// by the two messages below, posted to the window handed to the constructor.
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
    // The port is open and its device has gone away: the window should close it.
    bool IsGone() const { return isOpen && gone; }

  private:
    static DWORD WINAPI readerMain(void* control);
    void read();
    // Waits for a stopped reader to finish its last read; it closes the port as it ends.
    void endReader();
    void dropQueued();

    HWND window;
    std::wstring name;
    bool isOpen = false;
    HANDLE port = INVALID_HANDLE_VALUE; // the reader's, from start to end
    HANDLE reader = nullptr;
    std::atomic<bool> stopping{false};
    std::atomic<bool> gone{false};

    std::mutex queueLock;
    std::string queue;   // received, not yet taken by Input
    bool notice = false; // an OnComm message is on its way for what is queued
};

} // namespace tolvar
