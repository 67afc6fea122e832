// What the log file meets on each operating system: names beyond ASCII, writes that fail, and
// (on POSIX) a FIFO nobody reads.
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
#include <sys/stat.h>
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
#endif

} // namespace
