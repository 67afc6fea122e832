// SPDX-License-Identifier: MIT
#include "SerialControl.h"

#include <utility>

namespace tolvar {

namespace {

// How long one read waits for a first byte. On Windows a read returns as soon as a byte arrives,
// and a Stop ends it at once. Wine lets every read run its full time: there this is also how late
// data, the close after a Stop and a vanished device are seen, and an idle reader wakes twice a
// second (well under 1 ms of CPU each).
constexpr DWORD kReadWait = 500;

} // namespace

SerialControl::SerialControl(HWND notified, std::wstring portName)
    : window(notified), name(std::move(portName)) {}

SerialControl::~SerialControl() {
    PortOpen(false);
    endReader();
}

int SerialControl::PortOpen(bool open) {
    if (!open) {
        if (!isOpen)
            return 0;
        isOpen = false;
        stopping = true;
        CancelSynchronousIo(reader);
        dropQueued();
        return 0;
    }
    if (isOpen)
        return 0;
    endReader();

    // Share mode 0: Windows refuses the port while another program holds it.
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE; // raw bytes: no end-of-file character
    // DTR and RTS on while open, as opening a serial port does on Linux, but never handshaking;
    // no XON/XOFF, no parity check, NUL bytes kept, and a line error never stops the reads.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // Return as soon as any byte is there; wait at most kReadWait for the first.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, kReadWait, 0, 0};
    if (!SetCommState(handle, &dcb) || !SetCommTimeouts(handle, &timeouts)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return error != 0 ? static_cast<int>(error) : ERROR_INVALID_HANDLE;
    }

    port = handle;
    stopping = false;
    gone = false;
    dropQueued(); // what the last reader queued as it was being stopped
    reader = CreateThread(nullptr, 0, &SerialControl::readerMain, this, 0, nullptr);
    if (reader == nullptr) {
        const DWORD error = GetLastError();
        CloseHandle(port);
        return static_cast<int>(error);
    }
    isOpen = true;
    return 0;
}

std::string SerialControl::Input() {
    const std::lock_guard<std::mutex> lock(queueLock);
    notice = false;
    return std::exchange(queue, std::string());
}

DWORD WINAPI SerialControl::readerMain(void* control) {
    auto* self = static_cast<SerialControl*>(control);
    self->read();
    // Only the reader closes the port, once no read of its can use the handle any more.
    CloseHandle(self->port);
    return 0;
}

void SerialControl::read() {
    static constexpr DWORD kChunk = 64 * 1024;
    std::string buffer(kChunk, '\0');
    for (;;) {
        DWORD got = 0;
        const ULONGLONG asked = GetTickCount64();
        const BOOL ok = ReadFile(port, buffer.data(), kChunk, &got, nullptr);
        if (stopping)
            return;
        if (!ok)
            break; // the device went away (on Windows, an unplugged USB adapter)
        if (got > 0) {
            bool post = false;
            {
                const std::lock_guard<std::mutex> lock(queueLock);
                queue.append(buffer, 0, got);
                post = !notice;
                notice = true;
            }
            // One message for everything queued until Input takes it.
            if (post)
                PostMessageW(window, OnComm, 0, 0);
            continue;
        }
        // Nothing came: the wait ran out, or (under wine) the device is gone, which shows only
        // as a failing ClearCommError.
        DWORD errors = 0;
        if (!ClearCommError(port, &errors, nullptr))
            break;
        // A driver that ends empty reads at once must not make this loop spin.
        if (GetTickCount64() - asked < kReadWait / 2)
            Sleep(kReadWait / 2);
    }
    gone = true;
    PostMessageW(window, Disconnected, 0, 0);
}

void SerialControl::dropQueued() {
    const std::lock_guard<std::mutex> lock(queueLock);
    queue.clear();
    notice = false;
}

void SerialControl::endReader() {
    if (reader == nullptr)
        return;
    stopping = true;
    // Cancel until the thread ends: a read that began just after a cancel would wait its full
    // time on Windows.
    while (WaitForSingleObject(reader, 0) == WAIT_TIMEOUT) {
        CancelSynchronousIo(reader);
        WaitForSingleObject(reader, 10);
    }
    CloseHandle(reader);
    reader = nullptr;
}

} // namespace tolvar
