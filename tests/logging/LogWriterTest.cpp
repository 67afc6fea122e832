// SPDX-License-Identifier: MIT
// What the log writer meets on each operating system: names beyond ASCII, writes and syncs that
// fail or are held, pipes that stall or read slowly, a log file deleted or moved away while
// logging, a backlog past its bound, and (on POSIX) FIFOs and a file size limit. These run natively
// and, cross-built, under wine.
#include "Fakes.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

using tolvar::Switch;

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
    stop();
    control.BeginLogging();
    deliver("two\r");
    stop();

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
    window.duringBox = [&] {
        stoppedBeforeBox = !port.open && !window.enabled[Switch::tmrTimeout];
    };
    deliver("A\r");

    EXPECT_TRUE(settle([&] { return window.idle(); }));
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(FailingTarget::reason())});
    EXPECT_TRUE(stoppedBeforeBox);
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
    for (int i = 0; i < 1000 && window.boxes.empty(); ++i) {
        deliver(record + record + record + record + record + record + record);
        pump();
    }
    EXPECT_TRUE(settle([&] { return window.idle(); }));
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
    settle([&] { return window.idle(); });
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
    EXPECT_TRUE(settle([&] { return window.idle(); }));
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EPIPE)});
}

TEST_F(FifoLogging, readerThatStoppedReadingStopsLoggingSoonWithWholeRecords) {
    // Reads of fewer bytes than an atomic pipe write, until the pipe is full.
    int reads = 0;
    while (window.boxes.empty() && reads < 1000) {
        const auto start = std::chrono::steady_clock::now();
        deliver(records(reads++ * 30, 30));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "the window was held";
        pump();
    }
    EXPECT_TRUE(settle([&] { return window.idle(); }));
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EAGAIN)});

    std::string received(1 << 20, '\0');
    const ssize_t n = ::read(reader, received.data(), received.size());
    ASSERT_GT(n, 0);
    received.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(received, records(0, static_cast<int>(received.size() / 12), "\r\n"));
}

TEST_F(FifoLogging, slowReaderKeepsLoggingGoingAndGetsWholeRecords) {
    // One page of pipe, which the reader empties at 5 KB/s: the records of one read take it
    // longer than the stall limit.
    ASSERT_GT(::fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    std::string received;
    std::thread slowReader([&] {
        char piece[512];
        for (ssize_t n = 0; (n = ::read(reader, piece, sizeof piece)) != 0;
             std::this_thread::sleep_for(100ms))
            if (n > 0)
                received.append(piece, static_cast<std::size_t>(n));
    });
    deliver(records(0, 1500));
    stop();
    slowReader.join(); // the writer has closed its end
    EXPECT_TRUE(window.boxes.empty()) << window.boxes[0].text;
    EXPECT_TRUE(received == records(0, 1500, "\r\n"));
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
        EXPECT_LT(Clock::now() - start, 1s) << "the window was held";
        pump();
    }
    EXPECT_TRUE(settle([&] { return window.idle(); }));
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EAGAIN)});
    ::CloseHandle(server);
}

TEST_F(LoggingTest, aSlowPipeReaderThatKeepsReadingKeepsLoggingGoingWithWholeRecords) {
    // Small buffers and a reader that takes half of what the device sends, 100 bytes at a time.
    const std::string name = R"(\\.\pipe\)" + dir.filename().u8string() + "-slow";
    const HANDLE server = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1,
                                             512, 512, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    window.path = name;
    control.BeginLogging();
    ASSERT_TRUE(window.logging());
    std::string received;
    std::thread reader([&] {
        char piece[100];
        for (DWORD n = 0; ::ReadFile(server, piece, sizeof piece, &n, nullptr);
             std::this_thread::sleep_for(100ms))
            received.append(piece, n);
    });

    int sent = 0;
    for (const auto start = Clock::now(); Clock::now() - start < 3s && window.boxes.empty();
         sent += 18) {
        deliver(records(sent, 18));
        pump();
        std::this_thread::sleep_for(100ms);
    }
    stop();
    EXPECT_TRUE(settle([&] { return window.idle(); }, 30s));
    reader.join(); // the writer has closed its end
    ::CloseHandle(server);
    EXPECT_TRUE(window.boxes.empty()) << window.boxes[0].text;
    EXPECT_EQ(received, records(0, sent, "\r\n"));
}
#endif

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

// Stand-ins for the OS's calls: a sync that counts, a failing one, and a medium the test holds.
std::atomic<int> syncs{0};

int countedSync(tolvar::FileHandle file) {
    ++syncs;
    return tolvar::SyncFile(file);
}

int failedSync(tolvar::FileHandle) {
    return EIO;
}

// Holds every call that passes it until the test opens it, as a slow or hung medium would.
class Gate {
  public:
    void close() {
        const std::lock_guard<std::mutex> held(lock);
        open = false;
        entered = false;
    }
    void release() {
        const std::lock_guard<std::mutex> held(lock);
        open = true;
        wake.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> held(lock);
        entered = true;
        wake.notify_all();
        wake.wait(held, [this] { return open; });
    }
    // Whether a call is held now, or was.
    bool held() {
        std::unique_lock<std::mutex> held(lock);
        return wake.wait_for(held, 5s, [this] { return entered; });
    }

  private:
    std::mutex lock;
    std::condition_variable wake;
    bool open = true, entered = false;
} gate;

int heldSync(tolvar::FileHandle file) {
    gate.pass();
    return tolvar::SyncFile(file);
}

// A write the kernel holds: no deadline ends it.
long long heldWrite(tolvar::FileHandle file, const char* data, std::size_t size,
                    tolvar::Clock::time_point deadline) {
    gate.pass();
    return tolvar::WriteSome(file, data, size, deadline);
}

class CountedSync : public LoggingTest {
  protected:
    CountedSync() : LoggingTest({tolvar::WriteSome, countedSync}) { syncs = 0; }
};

TEST_F(CountedSync, whatWasWrittenIsSyncedWithinASecondAndOnlyAfterWrites) {
    control.BeginLogging();
    deliver("a\r");
    for (const auto start = Clock::now(); syncs == 0 && Clock::now() - start < 2s;)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(syncs, 1);
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(syncs, 1) << "nothing was written since";

    deliver("b\r");
    stop();
    EXPECT_EQ(syncs, 2) << "the last write is synced by the stop at the latest";
    EXPECT_TRUE(window.boxes.empty());
}

class FailingSync : public LoggingTest {
  protected:
    FailingSync() : LoggingTest({tolvar::WriteSome, failedSync}) {}
};

TEST_F(FailingSync, isToldOnceAndAtOnceWithoutWaitingForAnotherLine) {
    control.BeginLogging();
    deliver("a\r");
    bool stoppedBeforeBox = false;
    window.duringBox = [&] {
        stoppedBeforeBox = !port.open && !window.enabled[Switch::tmrTimeout];
    };
    EXPECT_TRUE(settle([&] { return window.idle(); }));
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EIO)});
    EXPECT_TRUE(stoppedBeforeBox);
}

// A medium whose syncs, or writes, take as long as the test wants.
template <bool writes> class HeldMedium : public LoggingTest {
  protected:
    HeldMedium()
        : LoggingTest(writes ? tolvar::FileCalls{heldWrite, tolvar::SyncFile}
                             : tolvar::FileCalls{tolvar::WriteSome, heldSync}) {
        gate.close();
    }
    void TearDown() override {
        gate.release();
        LoggingTest::TearDown();
    }
};
using SlowSync = HeldMedium<false>;
using HeldWrite = HeldMedium<true>;

TEST_F(SlowSync, stopAnswersAtOnceAndTheNextRunBeginsOnlyOnceTheLastHasFinished) {
    control.BeginLogging();
    deliver("a\r");
    ASSERT_TRUE(gate.held());
    stop();
    EXPECT_FALSE(port.open);
    EXPECT_FALSE(window.enabled[Switch::cmdBegin]) << "the run's last sync is under way";
    control.BeginLogging();
    EXPECT_EQ(port.calls, (std::vector<std::string>{"open", "close"}));

    gate.release();
    ASSERT_TRUE(settle([&] { return window.idle(); }));
    control.BeginLogging();
    deliver("b\r");
    stop();
    EXPECT_EQ(fileBytes(), "a\r\nb\r\n");
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(SlowSync, aDeleteDuringASyncIsFollowedWithoutWaitingForIt) {
    if (runsUnderWine())
        GTEST_SKIP() << "wine keeps a deleted file's name until its last handle is closed";
    control.BeginLogging();
    deliver("a\r");
    ASSERT_TRUE(gate.held());
    fs::remove(fs::u8path(window.path));
    deliver("b\r");
    EXPECT_EQ(fileSoon("b\r\n"), "b\r\n") << "while the sync is still held";
}

TEST_F(HeldWrite, aWriteTheKernelHoldsStopsLoggingAfterTheStallLimit) {
    control.BeginLogging();
    deliver("a\r");
    ASSERT_TRUE(gate.held());
    EXPECT_TRUE(settle([&] { return !window.boxes.empty(); }));
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(EAGAIN)});
    EXPECT_TRUE(window.idle());
    EXPECT_FALSE(port.open);
}

TEST_F(HeldWrite, aBacklogPastItsBoundStopsLoggingAndWhatCameBeforeIsWrittenWhole) {
    // 1 MiB of records a read.
    const std::string read = [] {
        std::string line(1022, 'x');
        line += '\r';
        std::string lines;
        for (int i = 0; i < 1024; ++i)
            lines += line;
        return lines;
    }();
    control.BeginLogging();
    deliver("first\r");
    ASSERT_TRUE(gate.held());
    int reads = 0;
    while (window.boxes.empty() && reads < 20) {
        deliver(read);
        ++reads;
        pump();
    }
    EXPECT_EQ(window.boxes, std::vector<Box>{writeFailure(ENOBUFS)});
    EXPECT_EQ(reads, 17) << "16 MiB wait for the writer";
    gate.release();
    EXPECT_TRUE(settle([&] { return window.idle(); }));
    EXPECT_EQ(fileBytes().size(), 7 + (std::size_t{16} << 20));
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
    ASSERT_EQ(fileSoon("a\r\n"), "a\r\n");
    c.change(log);
    for (std::size_t at = 0; at < c.between.size(); at += 4096)
        deliver(c.between.substr(at, 4096));
    if (c.waitForTheRenameCheck)
        std::this_thread::sleep_for(1100ms);
    deliver("c\r");
    stop();

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

} // namespace
