// SPDX-License-Identifier: MIT
// The serial control and the logic reading a pseudo-terminal as fast as a writer fills it, against
// a plain read/write copy loop and socat on the same kind of terminal. Run by scripts/bench.

#include "Bench.h"
#include "LoggingControl.h"
#include "SerialControl.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

const std::string& Stream() {
    static const std::string bytes = bench::Lines(64 * bench::kMiB, 80);
    return bytes;
}

// A fresh pseudo-terminal whose master a writer thread fills as fast as the reader takes it.
class Pty {
  public:
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            throw std::runtime_error("cannot create a pseudo-terminal");
        slave = ::ptsname(master);
    }
    ~Pty() {
        if (writer.joinable())
            writer.join();
        ::close(master);
    }
    // Start only once the reader has put the slave in raw mode, or the bytes are translated.
    void send(const std::string& bytes) {
        writer = std::thread([this, &bytes] {
            for (std::size_t done = 0; done < bytes.size();) {
                const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
                if (n <= 0)
                    return;
                done += static_cast<std::size_t>(n);
            }
        });
    }
    // Nothing was sent when the run failed before it began (socat missing).
    void finish() {
        if (writer.joinable())
            writer.join();
    }

    std::string slave;

  private:
    int master = -1;
    std::thread writer;
};

// Passes the real control through, counting the bytes, so the run ends once the last arrived.
struct CountingPort final : tolvar::SerialPort {
    tolvar::SerialControl& port;
    std::size_t received = 0;
    explicit CountingPort(tolvar::SerialControl& p) : port(p) {}
    int PortOpen(bool open) override { return port.PortOpen(open); }
    std::string Input() override {
        std::string bytes = port.Input();
        received += bytes.size();
        return bytes;
    }
};

// Every benchmark runs one iteration: set up before the timed loop, check the log after it.
void Program(benchmark::State& state) {
    const std::string& bytes = Stream();
    bench::QuietWindow window;
    window.path = bench::FreshPath("pty-program.log");
    Pty pty;
    tolvar::SerialControl serial(QString::fromStdString(pty.slave));
    CountingPort port(serial);
    auto logic = std::make_unique<tolvar::LoggingControl>(port, window);
    QEventLoop loop;
    QObject::connect(&serial, &tolvar::SerialControl::OnComm, [&] {
        logic->CapturePortInput();
        if (port.received == bytes.size())
            loop.quit();
    });
    QObject::connect(&serial, &tolvar::SerialControl::Disconnected, &loop, &QEventLoop::quit);
    logic->BeginLogging(); // opens the slave in raw mode
    for (auto _ : state) {
        pty.send(bytes);
        loop.exec();
        logic->StopLogging();
        logic.reset(); // waits for the writer
    }
    pty.finish();
    if (!window.box.empty())
        state.SkipWithError(window.box.c_str());
    bench::Check(state, window.path, bench::Logged(bytes));
    bench::Received(state, bytes.size());
}

// Opens the slave in raw mode, as a serial tool would; it stays raw while this is open.
int OpenRaw(const std::string& slave) {
    const int fd = ::open(slave.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

void CopyLoop(benchmark::State& state) {
    const std::string& bytes = Stream();
    const std::string path = bench::FreshPath("pty-copy.log");
    Pty pty;
    const int in = OpenRaw(pty.slave);
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    static char buffer[1 << 16];
    for (auto _ : state) {
        pty.send(bytes);
        for (std::size_t copied = 0; copied < bytes.size();) {
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n <= 0 || ::write(out, buffer, static_cast<std::size_t>(n)) != n)
                break;
            copied += static_cast<std::size_t>(n);
        }
    }
    ::close(out);
    ::close(in);
    pty.finish();
    bench::Check(state, path, bytes);
    bench::Received(state, bytes.size());
}

void Socat(benchmark::State& state) {
    const std::string& bytes = Stream();
    const std::string path = bench::FreshPath("pty-socat.log");
    Pty pty;
    const int raw = OpenRaw(pty.slave); // held, so the terminal is raw before socat opens it
    const std::string from =
        "OPEN:" + pty.slave + ",rdonly,noctty,readbytes=" + std::to_string(bytes.size());
    const std::string to = "CREATE:" + path;
    const char* argv[] = {"socat", "-u", "-b", "65536", from.c_str(), to.c_str(), nullptr};
    int status = -1;
    for (auto _ : state) {
        pid_t pid = 0;
        if (::posix_spawnp(&pid, "socat", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            break;
        pty.send(bytes);
        ::waitpid(pid, &status, 0);
    }
    ::close(raw);
    pty.finish();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        state.SkipWithError("socat is missing or failed");
    bench::Check(state, path, bytes);
    bench::Received(state, bytes.size());
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    QCoreApplication app(argc, argv);
    for (auto [name, run] : {std::pair{"pty/program", Program}, std::pair{"pty/copyloop", CopyLoop},
                             std::pair{"pty/socat", Socat}})
        bench::Configure(benchmark::RegisterBenchmark(name, run), 5);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
