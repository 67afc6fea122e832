// SPDX-License-Identifier: MIT
// Line capture fed arbitrary bytes in arbitrary reads, through a fake port into a real log file:
// the file must hold exactly the records the bytes make, each CR ending one written as CR LF,
// every other byte as it came, and nothing of what follows the last CR.
#include "LoggingControl.h"
#include "LoggingWindow.h"
#include "SerialPort.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

struct Port final : tolvar::SerialPort {
    std::string waiting;

    int PortOpen(bool) override { return 0; }
    std::string Input() override { return std::exchange(waiting, {}); }
};

struct Window final : tolvar::LoggingWindow {
    std::string path;

    std::string PathText() const override { return path; }
    void SetEnabled(tolvar::Switch, bool) override {}
    void ShowCritical(const std::string& text, const std::string&) override {
        std::fprintf(stderr, "Logging stopped with a message: %s\n", text.c_str());
        std::abort();
    }
    void ShowProgress(std::int16_t) override {}
    void HideProgress() override {}
    void AskAttention() override {}
    // A failed write shows in the file, which is compared once the writer has finished.
    void PostLogWriterCheck() override {}
};

[[noreturn]] void fail(const char* what, const std::string& expected, const std::string& got) {
    std::size_t at = 0;
    while (at < expected.size() && at < got.size() && expected[at] == got[at])
        ++at;
    std::fprintf(stderr, "%s: expected %zu bytes, got %zu; first difference at byte %zu\n", what,
                 expected.size(), got.size(), at);
    std::abort();
}

std::string folder;

void removeFolder() {
    ::rmdir(folder.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/capture-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    folder = pattern;
    std::atexit(removeFolder);
    return 0;
}

// The input's first bytes are what the device sends; its last ones say how many of them each
// read delivers (0 to 255: empty reads, single bytes and long runs alike).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    Port port;
    Window window;
    window.path = folder + "/log.txt";
    auto control = std::make_unique<tolvar::LoggingControl>(port, window);
    control->BeginLogging();
    if (!control->IsLogging()) {
        std::fprintf(stderr, "Logging did not begin on %s\n", window.path.c_str());
        std::abort();
    }

    std::string records, pending;
    while (input.remaining_bytes() > 0) {
        const std::string read = input.ConsumeBytesAsString(input.ConsumeIntegral<std::uint8_t>());
        for (const char byte : read) {
            if (byte == '\r') {
                records += pending + "\r\n";
                pending.clear();
            } else {
                pending += byte;
            }
        }
        port.waiting = read;
        control->CapturePortInput();
    }
    if (control->PendingLine() != pending)
        fail("Bytes after the last CR", pending, control->PendingLine());
    control.reset(); // waits for the writer

    std::ifstream file(window.path, std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(file), {}};
    if (written != records)
        fail("Log file", records, written);
    ::unlink(window.path.c_str());
    return 0;
}
