// SPDX-License-Identifier: MIT
#include "SerialControl.h"

#include <algorithm>
#include <utility>

namespace tolvar {

namespace {

// How long the driver gathers bytes before the reader takes them all: a record reaches the file
// within this, plus a few ms, of its CR, and a line arriving in small pieces costs a wake-up of
// the reader and one of the window per pace instead of one per piece.
constexpr DWORD kPace = 60;
// A take this large means the bytes come far faster than any serial line: read on unpaced.
constexpr DWORD kBusy = 1024;
constexpr DWORD kChunk = 64 * 1024;
// A reader always answers Gather within milliseconds, and a read of bytes the driver holds ends
// at once; these only bound a broken driver.
constexpr DWORD kGatherWait = 1000;
constexpr DWORD kTakeWait = 1000;

} // namespace

SerialControl::SerialControl(HWND notified, std::wstring portName)
    : window(notified), name(std::move(portName)),
      wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      gathered(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      readDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

SerialControl::~SerialControl() {
    PortOpen(false);
}

int SerialControl::PortOpen(bool open) {
    if (!open) {
        if (!isOpen)
            return 0;
        isOpen = false;
        endReader();
        dropQueued(); // what came after the last Gather
        return 0;
    }
    if (isOpen)
        return 0;
    if (!wake || !gathered || !readDone)
        return ERROR_NOT_ENOUGH_MEMORY;

    // Share mode 0: Windows refuses the port while another program holds it. Overlapped, so
    // that the reader's wait for a byte can be ended by a Gather or a Stop.
    UniqueHandle opened = OwnHandle(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!opened)
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
    // No timeouts: a read ends when it has all it asked for. Wine does not honour the timeouts
    // that end a read at the first byte, so the reader asks for one byte, then for what is there.
    COMMTIMEOUTS timeouts{};
    if (!SetCommState(opened.get(), &dcb) || !SetCommTimeouts(opened.get(), &timeouts)) {
        const DWORD error = GetLastError();
        return error != 0 ? static_cast<int>(error) : ERROR_INVALID_HANDLE;
    }
    // A run holds only what came after Begin: the driver may still hold what the device sent
    // while the port was closed. A purge fails only when the device is gone, which the reader's
    // first read reports as an unplug: no reason to refuse the port here.
    PurgeComm(opened.get(), PURGE_RXCLEAR);

    port = std::move(opened);
    stopping = false;
    gatherWanted = false;
    gone = false;
    ResetEvent(wake.get());
    reader.reset(CreateThread(nullptr, 0, &SerialControl::readerMain, this, 0, nullptr));
    if (!reader) {
        const DWORD error = GetLastError();
        port.reset();
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

void SerialControl::Gather() {
    if (!isOpen)
        return;
    ResetEvent(gathered.get());
    gatherWanted = true;
    SetEvent(wake.get());
    // A reader that has ended (its device gone) has queued all it ever will.
    const HANDLE answers[] = {gathered.get(), reader.get()};
    WaitForMultipleObjects(2, answers, FALSE, kGatherWait);
}

DWORD WINAPI SerialControl::readerMain(void* control) {
    static_cast<SerialControl*>(control)->read();
    return 0;
}

void SerialControl::read() {
    std::string buffer(kChunk, '\0');
    DWORD took = 0; // what the last take found
    for (;;) {
        DWORD got = 0;
        bool woken = false;
        if (took == 0) {
            // Nothing came of late: asleep until a byte comes, or the window wakes the reader.
            const Read first = readSome(buffer.data(), 1, got, true);
            if (first == Read::failed)
                break; // the device went away (on Windows, an unplugged USB adapter)
            woken = first == Read::woken;
        }
        // Bytes are coming: let the driver gather them for a while (one wait, where waiting for
        // the first byte again would cost a read), unless the window wants them now or they come
        // far faster than any serial line. Also what keeps a driver that ends reads empty by
        // itself from making this loop spin.
        if (!woken && took < kBusy && !stopping && !gatherWanted)
            WaitForSingleObject(wake.get(), kPace);
        if (stopping)
            return;
        // Read before taking the bytes, so that a Gather answered below covers every byte
        // received before it was asked for.
        const bool gathering = gatherWanted.exchange(false);
        COMSTAT status{};
        DWORD errors = 0;
        // Under wine a vanished device shows only here: its reads come back empty at once.
        if (!ClearCommError(port.get(), &errors, &status))
            break;
        DWORD more = 0;
        if (status.cbInQue > 0 &&
            readSome(buffer.data() + got, std::min(status.cbInQue, kChunk - got), more, false) ==
                Read::failed)
            break;
        took = got + more;
        queueBytes(buffer.data(), took);
        if (gathering)
            SetEvent(gathered.get());
    }
    gone = true;
    PostMessageW(window, Disconnected, 0, 0);
}

// One overlapped read of up to `size` bytes. A wakeable read ends early when the window sets
// `wake`; any other is asked only for bytes the driver already holds, and ends at once unless the
// driver is broken.
SerialControl::Read SerialControl::readSome(char* at, DWORD size, DWORD& got, bool wakeable) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = readDone.get();
    Read result = Read::done;
    if (!ReadFile(port.get(), at, size, nullptr, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return Read::failed;
        const HANDLE events[] = {readDone.get(), wake.get()};
        if (WaitForMultipleObjects(wakeable ? 2 : 1, events, FALSE,
                                   wakeable ? INFINITE : kTakeWait) != WAIT_OBJECT_0) {
            CancelIoEx(port.get(), &overlapped);
            result = Read::woken;
        }
    }
    // A read cancelled just after its bytes came still hands them over.
    got = 0;
    if (!GetOverlappedResult(port.get(), &overlapped, &got, TRUE) &&
        GetLastError() != ERROR_OPERATION_ABORTED)
        return Read::failed;
    return result;
}

void SerialControl::queueBytes(const char* bytes, DWORD size) {
    if (size == 0)
        return;
    bool post = false;
    {
        const std::lock_guard<std::mutex> lock(queueLock);
        queue.append(bytes, size);
        post = !notice;
        notice = true;
    }
    // One message for everything queued until Input takes it.
    if (post)
        PostMessageW(window, OnComm, 0, 0);
}

void SerialControl::dropQueued() {
    const std::lock_guard<std::mutex> lock(queueLock);
    queue.clear();
    notice = false;
}

void SerialControl::endReader() {
    stopping = true;
    SetEvent(wake.get());
    WaitForSingleObject(reader.get(), INFINITE);
    reader.reset();
    // Only now that no read of the reader's can use it.
    port.reset();
}

} // namespace tolvar
