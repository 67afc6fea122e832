// SPDX-License-Identifier: MIT
// The plainest copy of COM1 into a file, with the port set up as the logger sets it up: the
// yardstick for the Windows program's throughput (scripts/bench, under wine).
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
    // The logger's wait too: under wine the wait for the first byte also paces full reads.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 500, 0, 0};
    SetCommTimeouts(port, &timeouts);
    const HANDLE file =
        CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    static char buffer[64 * 1024]; // the logger's read size
    for (;;) {
        DWORD got = 0, written = 0;
        if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr))
            return 1;
        if (got > 0 && !WriteFile(file, buffer, got, &written, nullptr))
            return 1;
    }
}
