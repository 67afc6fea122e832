// SPDX-License-Identifier: MIT
// The plainest copy of COM1 into a file, with the port set up as the logger sets it up: the
// yardstick for the Windows program's throughput and its cost at line rate (scripts/bench, under
// wine).
//
//   copy_loop FILE      creates FILE once COM1 is open, then appends every byte read; runs until
//   killed

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2)
        return 2;
    const HANDLE port =
        CreateFileW(L"\\\\.\\COM1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return 1;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    settings.BaudRate = CBR_19200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(port, &settings);
    // No timeouts: a read ends when it has all it asked for. So the loop asks for one byte, which
    // comes back as soon as a piece arrives, then for whatever else the driver holds: it reads
    // each piece as it comes, as a terminal does (wine ends no read early at the first byte).
    COMMTIMEOUTS timeouts{};
    SetCommTimeouts(port, &timeouts);
    const HANDLE file =
        CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    constexpr DWORD kSize = 64 * 1024; // the logger's read size
    static char buffer[kSize];
    for (;;) {
        DWORD got = 0, more = 0, errors = 0, written = 0;
        COMSTAT status{};
        if (!ReadFile(port, buffer, 1, &got, nullptr) || !ClearCommError(port, &errors, &status))
            return 1;
        const DWORD rest = status.cbInQue < kSize - got ? status.cbInQue : kSize - got;
        if (rest > 0 && !ReadFile(port, buffer + got, rest, &more, nullptr))
            return 1;
        if (!WriteFile(file, buffer, got + more, &written, nullptr))
            return 1;
    }
}
