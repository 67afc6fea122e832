// SPDX-License-Identifier: MIT
// What the log file meets on each operating system: names beyond ASCII, writes that fail, and
// (on POSIX) FIFOs, a file size limit, and a log file deleted or moved away while logging.
// These run natively and, cross-built, under wine.
#include "Fakes.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <chrono>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#endif

namespace {

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
    // The C runtime turns a pipe without reader into one of these.
    static std::vector<int> reasons() {
        return {EPIPE, EINVAL};
    }
#else
    explicit FailingTarget(const fs::path&) : path_("/dev/full") {}
    void failFromNowOn() {}
    static std::vector<int> reasons() {
        return {ENOSPC};
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

    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].title, "Error");
    std::vector<std::string> expected;
    for (const int reason : FailingTarget::reasons())
        expected.push_back("Cannot write to log file (" + std::string(std::strerror(reason)) +
                           "). Logging has stopped.");
    EXPECT_NE(std::find(expected.begin(), expected.end(), window.boxes[0].text), expected.end())
        << window.boxes[0].text;
    EXPECT_TRUE(stoppedBeforeBox);
    EXPECT_FALSE(control.IsLogging());
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

// What becomes of the log path while logging, and what the two files then hold.
struct PathChange {
    const char* name;
    void (*change)(const fs::path& log);
    // Received after the change, before the next look at the path.
    std::string between;
    bool waitForTheNextLook;
    std::string atPath, movedAway, box;
};

// A deleted file takes with it what was written since the last look, before or after the
// delete: all of that is written again into the new file.
const PathChange kPathChanges[] = {
    {"Deleted", [](const fs::path& log) { fs::remove(log); }, "b\r", true, "a\r\nb\r\nc\r\n", "",
     ""},
    {"RenamedAway", [](const fs::path& log) { fs::rename(log, log.string() + ".1"); }, "b\r", true,
     "c\r\n", "a\r\nb\r\n", ""},
    // More than is kept for writing again: the path is looked at early instead.
    {"DeletedThenAFlood", [](const fs::path& log) { fs::remove(log); }, records(0, 30000), false,
     "a\r\n" + records(0, 30000, "\r\n") + "c\r\n", "", ""},
    {"FolderInItsPlace",
     [](const fs::path& log) {
         fs::rename(log, log.string() + ".1");
         fs::create_directory(log);
     },
     "b\r", true, "", "a\r\nb\r\n", writeFailure(EISDIR).text},
};

void PrintTo(const PathChange& c, std::ostream* os) {
    *os << c.name;
}

class ChangedLogPath : public LoggingTest, public ::testing::WithParamInterface<PathChange> {};

TEST_P(ChangedLogPath, loggingCarriesOnIntoTheFileAtThePathWithNoLineLostOrDoubled) {
    const PathChange& c = GetParam();
    const fs::path log = fs::u8path(window.path);
    control.BeginLogging();
    deliver("a\r");
    c.change(log);
    for (std::size_t at = 0; at < c.between.size(); at += 4096)
        deliver(c.between.substr(at, 4096));
    if (c.waitForTheNextLook)
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    deliver("c\r");
    control.StopLogging();

    EXPECT_EQ(window.boxes.empty() ? "" : window.boxes[0].text, c.box);
    if (c.box.empty())
        EXPECT_EQ(fileBytes(), c.atPath);
    EXPECT_EQ(readBytes(log.string() + ".1"), c.movedAway);
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedLogPath, ::testing::ValuesIn(kPathChanges),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

TEST(LogFileTest, writingToAClosedFileFailsCleanly) {
    tolvar::LogFile file;
    EXPECT_EQ(file.Write("x", 1), EBADF);
}

} // namespace
