// SPDX-License-Identifier: MIT
// What the log file meets on each operating system: names beyond ASCII, writes and syncs that
// fail, pipes that stall, a log file deleted or moved away while logging, and (on POSIX) FIFOs and
// a file size limit. These run natively and, cross-built, under wine.
#include "Fakes.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

Box writeFailure(int reason) {
    return {"Cannot write to log file (" + std::string(std::strerror(reason)) +
                "). Logging has stopped.",
            "Error"};
}

// Lines "record-NNN" numbered from `first`, each followed by `end`: a CR as received, CR LF as
// logged.
std::string records(int first, int count, const char* end = "\r") {
    std::string bytes;
    for (int i = first; i < first + count; ++i)
        bytes += "record-" + std::to_string(1000 + i).substr(1) + end;
    return bytes;
}

struct NameCase {
    const char* name;
    // Relative to the test folder, in UTF-8.
    const char* path;
};

const NameCase kNameCases[] = {
    {"AccentedFileName", u8"mesures \u00e9t\u00e9.log"},
    {"JapaneseFileName", u8"\u65e5\u672c.txt"},
    {"NonAsciiFolders", u8"donn\u00e9es/\u65e5\u672c/log.txt"},
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().u8string());
    return names;
}

class NonAsciiLogPath : public LoggingTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NonAsciiLogPath, isCreatedUnderItsOwnNameAndAppendedTo) {
    const fs::path file = dir / fs::u8path(GetParam().path);
    fs::create_directories(file.parent_path());
    window.path = file.u8string();

    control.BeginLogging();
    ASSERT_TRUE(window.boxes.empty());
    deliver("one\r");
    control.StopLogging();
    control.BeginLogging();
    deliver("two\r");
    control.StopLogging();

    // A name passed on as narrow text would land on Windows under a garbled name.
    EXPECT_EQ(namesIn(file.parent_path()), std::vector<std::string>{file.filename().u8string()});
    EXPECT_EQ(readBytes(file), "one\r\ntwo\r\n");
}

INSTANTIATE_TEST_SUITE_P(Names, NonAsciiLogPath, ::testing::ValuesIn(kNameCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A log target that takes the open and refuses later writes. Linux has a device for a full disk;
// Windows has none, so there a pipe loses its reading end once logging has begun.
class FailingTarget {
  public:
#ifdef _WIN32
    explicit FailingTarget(const fs::path& testDir)
        : path_(R"(\\.\pipe\)" + testDir.filename().u8string()),
          reader_(::CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0,
                                     1 << 16, 0, nullptr)) {}
    ~FailingTarget() {
        failFromNowOn();
    }
    void failFromNowOn() {
        if (reader_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(reader_);
        reader_ = INVALID_HANDLE_VALUE;
    }
    static int reason() {
        return EPIPE;
    }
#else
    explicit FailingTarget(const fs::path&) : path_("/dev/full") {}
    void failFromNowOn() {}
    static int reason() {
        return ENOSPC;
    }
#endif
    FailingTarget(const FailingTarget&) = delete;
    FailingTarget& operator=(const FailingTarget&) = delete;

    const std::string& path() const {
        return path_;
    }

  private:
    std::string path_;
#ifdef _WIN32
    HANDLE reader_;
#endif
};

TEST_F(LoggingTest, failedWriteStopsLoggingAndSaysWhy) {
    FailingTarget target(dir);
    window.path = target.path();
    control.BeginLogging();
    ASSERT_TRUE(window.logging()) << "the target must open like a file";
    target.failFromNowOn();

    bool stoppedBeforeBox = false;
    window.duringBox = [&] { stoppedBeforeBox = window.idle() && !port.open; };
    deliver("A\r");

    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(FailingTarget::reason())});
    EXPECT_TRUE(stoppedBeforeBox);
    EXPECT_FALSE(control.IsLogging());
}

// A disk that fills in the middle of a write: a folder on a small file system, which the Windows
// check's wine session mounts for this test alone.
TEST_F(LoggingTest, fullDiskLeavesWholeRecordsAndSaysSo) {
    const char* small = std::getenv("TOLVAR_SMALL_DISK");
    if (small == nullptr)
        GTEST_SKIP() << "TOLVAR_SMALL_DISK names no folder on a small file system";
    window.path = std::string(small) + "/log.txt";
    const std::string record = std::string(999, 'T') + "\r";
    control.BeginLogging();
    for (int i = 0; i < 1000 && window.boxes.empty(); ++i)
        deliver(record + record + record + record + record + record + record);

    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(ENOSPC)});
    const std::string bytes = fileBytes();
    EXPECT_GT(bytes.size(), 0u);
    EXPECT_EQ(bytes.size() % (record.size() + 1), 0u)
        << "a cut record would glue onto the next run's first line";
}

#ifndef _WIN32
TEST_F(LoggingTest, fifoWithoutReaderIsRefusedInsteadOfHanging) {
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    window.path = fifo.u8string();
    control.BeginLogging();
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "Cannot open log file. Logging cannot begin.");
    EXPECT_TRUE(window.idle());
}

TEST_F(LoggingTest, writeCutShortBySizeLimitLeavesOnlyWholeRecordsAndKeepsTheProgram) {
    std::ofstream(fs::u8path(window.path), std::ios::binary) << "old\r\n";
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    // Room for the pending bytes on their own, not for the records that end them.
    rlimit limit = before;
    limit.rlim_cur = 5 + 7 + 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);

    control.BeginLogging();
    deliver("partial");
    deliver("-end\r" + records(0, 50));
    ::setrlimit(RLIMIT_FSIZE, &before);

    // SIGXFSZ left to itself would have ended the test program above.
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EFBIG)});
    EXPECT_TRUE(window.idle());
    EXPECT_EQ(fileBytes(), "old\r\n") << "a cut record would glue onto the next run's first line";
}

// Logging into a FIFO whose reader the test plays.
class FifoLogging : public LoggingTest {
  protected:
    void SetUp() override {
        LoggingTest::SetUp();
        const fs::path fifo = dir / "fifo";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        window.path = fifo.u8string();
        control.BeginLogging();
    }
    void TearDown() override {
        if (reader >= 0)
            ::close(reader);
        LoggingTest::TearDown();
    }
    int reader = -1;
};

TEST_F(FifoLogging, readerThatLeftStopsLoggingInsteadOfEndingTheProgram) {
    deliver("read\r");
    ::close(std::exchange(reader, -1));
    deliver("unread\r");
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EPIPE)});
    EXPECT_TRUE(window.idle());
}

TEST_F(FifoLogging, readerThatStoppedReadingStopsLoggingSoonWithWholeRecords) {
    // Reads of fewer bytes than an atomic pipe write, until the pipe is full.
    int reads = 0;
    while (window.boxes.empty() && reads < 1000) {
        const auto start = std::chrono::steady_clock::now();
        deliver(records(reads++ * 30, 30));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
            << "the window was held";
    }
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EAGAIN)});
    EXPECT_TRUE(window.idle());

    std::string received(1 << 20, '\0');
    const ssize_t n = ::read(reader, received.data(), received.size());
    ASSERT_GT(n, 0);
    received.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(received, records(0, static_cast<int>(received.size() / 12), "\r\n"));
}

TEST_F(FifoLogging, slowReaderKeepsLoggingGoingAndGetsWholeRecords) {
    // One page of pipe: the reader frees room 4 KiB at a time, every 1.6 s.
    ASSERT_GT(::fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    std::atomic<bool> reading{true};
    std::string received;
    std::thread slowReader([&] {
        char piece[256];
        while (reading) {
            const ssize_t n = ::read(reader, piece, sizeof piece);
            if (n > 0)
                received.append(piece, static_cast<std::size_t>(n));
            std::this_thread::sleep_for(100ms);
        }
    });
    // Each read's records take the reader longer than the stall limit.
    int sent = 0;
    for (const auto start = Clock::now(); Clock::now() - start < 4500ms && window.boxes.empty();
         sent += 700)
        deliver(records(sent, 700));
    reading = false;
    slowReader.join();
    EXPECT_TRUE(window.boxes.empty()) << window.boxes[0].text;

    control.StopLogging();
    char rest[4096];
    for (ssize_t n; (n = ::read(reader, rest, sizeof rest)) > 0;)
        received.append(rest, static_cast<std::size_t>(n));
    EXPECT_EQ(received.size(), records(0, sent, "\r\n").size());
    EXPECT_TRUE(received == records(0, sent, "\r\n"));
}
#endif

#ifdef _WIN32
TEST_F(LoggingTest, pipeWhoseServerNeverReadsStopsLoggingWithoutHoldingTheWindow) {
    const std::string name = R"(\\.\pipe\)" + dir.filename().u8string() + "-unread";
    const HANDLE server = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1,
                                             0, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    window.path = name;
    control.BeginLogging();
    ASSERT_TRUE(window.logging());

    for (int i = 0; window.boxes.empty() && i < 100; ++i) {
        const auto start = Clock::now();
        deliver(records(i * 100, 100));
        EXPECT_LT(Clock::now() - start, 4s) << "the window was held";
    }
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EAGAIN)});
    EXPECT_TRUE(window.idle());
    ::CloseHandle(server);
}
#endif

// Stand-ins for the log file's sync: one that counts the syncs, one of a failing medium.
std::atomic<int> syncs{0};

int countedSync(tolvar::FileHandle file) {
    ++syncs;
    return tolvar::SyncFile(file);
}

int failedSync(tolvar::FileHandle) {
    return EIO;
}

TEST_F(LoggingTest, whatWasWrittenIsSyncedWithinASecondAndOnlyAfterWrites) {
    syncs = 0;
    tolvar::LoggingControl synced(port, window, countedSync);
    synced.BeginLogging();
    port.waiting = "a\r";
    synced.CapturePortInput();
    for (const auto start = Clock::now(); syncs == 0 && Clock::now() - start < 2s;)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(syncs, 1);
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(syncs, 1) << "nothing was written since";

    port.waiting = "b\r";
    synced.CapturePortInput();
    synced.StopLogging();
    EXPECT_EQ(syncs, 2) << "the last write is synced by the stop at the latest";
    EXPECT_TRUE(window.boxes.empty());
}

class FailingSync : public LoggingTest {
  protected:
    void TearDown() override {
        failing.StopLogging();
        LoggingTest::TearDown();
    }
    void deliverFailing(const std::string& bytes) {
        port.waiting += bytes;
        failing.CapturePortInput();
    }
    tolvar::LoggingControl failing{port, window, failedSync};
};

TEST_F(FailingSync, stopsLoggingAtTheNextWriteAndSaysWhy) {
    failing.BeginLogging();
    // The first write is synced at once, behind the window's back.
    deliverFailing("a\r");
    for (const auto start = Clock::now(); window.boxes.empty() && Clock::now() - start < 2s;) {
        std::this_thread::sleep_for(10ms);
        deliverFailing("b\r");
    }
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EIO)});
    EXPECT_TRUE(window.idle());
}

TEST_F(FailingSync, atTheOperatorsStopIsToldOnceLoggingHasStopped) {
    failing.BeginLogging();
    deliverFailing("a\r");
    bool stoppedBeforeBox = false;
    window.duringBox = [&] { stoppedBeforeBox = window.idle() && !port.open; };
    failing.StopLogging();
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EIO)});
    EXPECT_TRUE(stoppedBeforeBox);
}

// What becomes of the log path while logging, and what the two files then hold.
struct PathChange {
    const char* name;
    void (*change)(const fs::path& log);
    // Received after the change.
    std::string between;
    bool deletes, waitForTheRenameCheck;
    std::string atPath, movedAway, box;
};

// Opening a folder for writing fails with this.
#ifdef _WIN32
constexpr int kFolderError = EACCES;

bool runsUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
#else
constexpr int kFolderError = EISDIR;

bool runsUnderWine() {
    return false;
}
#endif

const std::string kLongLine(300 * 1024, 'x');

// What was written before a delete stays deleted; a delete is seen before the next write, and a
// rename within a second.
const PathChange kPathChanges[] = {
    {"DeletedBeforeALongLine", [](const fs::path& log) { fs::remove(log); }, kLongLine + "\r", true,
     false, kLongLine + "\r\nc\r\n", "", ""},
    {"RenamedAway", [](const fs::path& log) { fs::rename(log, log.string() + ".1"); }, "b\r", false,
     true, "c\r\n", "a\r\nb\r\n", ""},
    {"FolderInItsPlace",
     [](const fs::path& log) {
         fs::rename(log, log.string() + ".1");
         fs::create_directory(log);
     },
     "b\r", false, true, "", "a\r\nb\r\n", writeFailure(kFolderError).text},
};

void PrintTo(const PathChange& c, std::ostream* os) {
    *os << c.name;
}

class ChangedLogPath : public LoggingTest, public ::testing::WithParamInterface<PathChange> {};

TEST_P(ChangedLogPath, loggingCarriesOnIntoTheFileAtThePathWithNoLineLostOrDoubled) {
    const PathChange& c = GetParam();
    if (c.deletes && runsUnderWine())
        GTEST_SKIP() << "wine keeps a deleted file's name, and reports no pending delete, until "
                        "its last handle is closed";
    const fs::path log = fs::u8path(window.path);
    control.BeginLogging();
    deliver("a\r");
    c.change(log);
    for (std::size_t at = 0; at < c.between.size(); at += 4096)
        deliver(c.between.substr(at, 4096));
    if (c.waitForTheRenameCheck)
        std::this_thread::sleep_for(1100ms);
    deliver("c\r");
    control.StopLogging();

    EXPECT_EQ(window.boxes.empty() ? "" : window.boxes[0].text, c.box);
    if (c.box.empty()) {
        // Compared whole, not printed: a long line's difference would fill the screen.
        EXPECT_EQ(fileBytes().size(), c.atPath.size());
        EXPECT_TRUE(fileBytes() == c.atPath);
    }
    EXPECT_EQ(readBytes(log.string() + ".1"), c.movedAway);
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedLogPath, ::testing::ValuesIn(kPathChanges),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LogFileTest, writingToAClosedFileFailsCleanly) {
    tolvar::LogFile file;
    EXPECT_EQ(file.Write("x", 1), EBADF);
}

} // namespace
