// SPDX-License-Identifier: MIT
#include "NativeFile.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <type_traits>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace tolvar {

namespace {

HANDLE handleOf(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

// UTF-8 never takes more UTF-16 units than bytes: one call converts it.
std::wstring widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            static_cast<int>(wide.size()))));
    return wide;
}

// The error number naming the same reason as a Windows error, for the message's brackets.
int errnoOf(DWORD error) {
    switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
        return EPIPE;
    // Only our own cancel of a write that took no byte in time ends a write this way.
    case ERROR_OPERATION_ABORTED:
        return EAGAIN;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
        return ENXIO;
    default:
        // Network names gone, CRC and device errors, and whatever else a medium may say.
        return EIO;
    }
}

struct EventCloser {
    void operator()(HANDLE event) const { CloseHandle(event); }
};

// The event the writer's thread waits on while its write is under way.
HANDLE writeEvent() {
    thread_local const std::unique_ptr<void, EventCloser> event(
        CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return event.get();
}

} // namespace

int OpenForAppend(const std::string& path, FileHandle& file) {
    // Overlapped, so that a write can be given up when the target stops taking bytes (a pipe
    // whose server never reads, a network share whose server has gone).
    const HANDLE handle =
        CreateFileW(widen(path).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return errnoOf(GetLastError());
    file = reinterpret_cast<FileHandle>(handle);
    return 0;
}

void CloseFile(FileHandle file) {
    CloseHandle(handleOf(file));
}

FileState ExamineFile(FileHandle file) {
    FILE_STANDARD_INFO info{};
    if (GetFileType(handleOf(file)) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(handleOf(file), FileStandardInfo, &info, sizeof info))
        return {};
    return {info.DeletePending != FALSE, info.EndOfFile.QuadPart};
}

long long WriteSome(FileHandle file, const char* data, std::size_t size,
                    Clock::time_point deadline) {
    const HANDLE handle = handleOf(file);
    OVERLAPPED at{};
    // At the end of the file, as an append.
    at.Offset = at.OffsetHigh = MAXDWORD;
    at.hEvent = writeEvent();
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
    if (!WriteFile(handle, data, count, nullptr, &at)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return -errnoOf(GetLastError());
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (WaitForSingleObject(at.hEvent, static_cast<DWORD>(std::max<long long>(left, 0))) !=
            WAIT_OBJECT_0)
            CancelIoEx(handle, &at);
    }
    DWORD written = 0;
    if (!GetOverlappedResult(handle, &at, &written, TRUE) && written == 0)
        return -errnoOf(GetLastError());
    return written > 0 ? static_cast<long long>(written) : -EIO;
}

std::size_t PieceSize(FileHandle file) {
    DWORD outBuffer = 0, inBuffer = 0;
    if (GetFileType(handleOf(file)) != FILE_TYPE_PIPE ||
        !GetNamedPipeInfo(handleOf(file), nullptr, &outBuffer, &inBuffer, nullptr))
        return SIZE_MAX;
    // Whichever end this is, a piece no larger than the smaller buffer fits the one it waits in;
    // a size of 0 is the system's own, at least a page.
    DWORD smallest = 0;
    for (const DWORD size : {outBuffer, inBuffer})
        if (size > 0 && (smallest == 0 || size < smallest))
            smallest = size;
    return smallest > 0 ? smallest : 4096;
}

void CutBack(FileHandle file, long long length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = length;
    // Nothing more can be done when this fails too: the write's error is what gets reported.
    SetFileInformationByHandle(handleOf(file), FileEndOfFileInfo, &end, sizeof end);
}

int SyncFile(FileHandle file) {
    // A pipe's flush waits for its reader: only files are brought to storage.
    if (GetFileType(handleOf(file)) != FILE_TYPE_DISK || FlushFileBuffers(handleOf(file)))
        return 0;
    return errnoOf(GetLastError());
}

bool PathNames(FileHandle file, const std::string& path) {
    // Opening a pipe's name again would connect to it: only files are looked for.
    if (GetFileType(handleOf(file)) != FILE_TYPE_DISK)
        return true;
    const HANDLE named = CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION open{}, atPath{};
    const bool same = GetFileInformationByHandle(handleOf(file), &open) &&
                      GetFileInformationByHandle(named, &atPath) &&
                      open.dwVolumeSerialNumber == atPath.dwVolumeSerialNumber &&
                      open.nFileIndexHigh == atPath.nFileIndexHigh &&
                      open.nFileIndexLow == atPath.nFileIndexLow;
    CloseHandle(named);
    return same;
}

// Windows raises no signal for a failed write.
void IgnoreWriteSignals() {}

} // namespace tolvar
