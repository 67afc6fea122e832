// SPDX-License-Identifier: MIT
#include "Fakes.h"

using tolvar::Switch;

namespace {

const Box kPortBusy{"Comm port 1 is already in use. Logging cannot begin.", "Port open"};
const Box kFileFailed{"Cannot open log file. Logging cannot begin.", "Error"};

struct CaptureCase {
    const char* name;
    std::vector<std::string> reads;
    std::string file;
    std::string pending;
};

std::string allBytesButCR() {
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        if (b != '\r')
            bytes += static_cast<char>(b);
    return bytes;
}

const CaptureCase kCaptureCases[] = {
    {"CrLfDeviceKeepsTheLfAtTheNextRecordStart", {"AB\r\nCD\r\n"}, "AB\r\n\nCD\r\n", "\n"},
    {"CrInALaterReadEndsTheLineOfAnEarlierOne", {"AB", "", "\r"}, "AB\r\n", ""},
    {"LineSplitOverManyReads", {"A", "B", "C", "D\rE"}, "ABCD\r\n", "E"},
    {"TwoCrsGiveAnEmptyRecord", {"\r\r"}, "\r\n\r\n", ""},
    {"CrAsFirstByteGivesAnEmptyRecord", {"\rX"}, "\r\n", "X"},
    {"SeveralLinesInOneReadKeepTheirOrder", {"one\rtwo\rthree\r"}, "one\r\ntwo\r\nthree\r\n", ""},
    {"EmptyReadChangesNothing", {"AB", ""}, "", "AB"},
    {"TextWithoutCrIsNeverWritten",
     {std::string(100000, 'x'), "y"},
     "",
     std::string(100000, 'x') + "y"},
    {"EveryByteButCrSurvives", {allBytesButCR() + "\r"}, allBytesButCR() + "\r\n", ""},
    {"NulBytesAreData", {std::string("a\0b\r", 4)}, std::string("a\0b\r\n", 5), ""},
};

void PrintTo(const CaptureCase& c, std::ostream* os) {
    *os << c.name;
}

class LineCapture : public LoggingTest, public ::testing::WithParamInterface<CaptureCase> {};

TEST_P(LineCapture, writesExactlyTheCompletedLines) {
    control.BeginLogging();
    for (const std::string& read : GetParam().reads)
        deliver(read);

    // Records reach the file without a stop: a crash now would lose no complete line.
    EXPECT_EQ(fileSoon(GetParam().file), GetParam().file);
    EXPECT_EQ(control.PendingLine(), GetParam().pending);
    stop();
    EXPECT_EQ(fileBytes(), GetParam().file) << "stop must not write the pending bytes";
}

INSTANTIATE_TEST_SUITE_P(Reads, LineCapture, ::testing::ValuesIn(kCaptureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoggingTest, beginOpensPortAndFileAndSwitchesToLogging) {
    control.BeginLogging();
    EXPECT_TRUE(port.open);
    EXPECT_TRUE(control.IsLogging());
    EXPECT_TRUE(window.logging());
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_TRUE(fs::exists(fs::u8path(window.path)));

    stop();
    EXPECT_FALSE(port.open);
    EXPECT_FALSE(control.IsLogging());
    EXPECT_TRUE(window.idle());
}

TEST_F(LoggingTest, beginOnExistingFileAppendsWithNothingBetweenRuns) {
    std::ofstream(fs::u8path(window.path), std::ios::binary) << "old\r\ntail";
    control.BeginLogging();
    deliver("new\r");
    stop();
    control.BeginLogging();
    deliver("again\r");
    stop();
    EXPECT_EQ(fileBytes(), "old\r\ntailnew\r\nagain\r\n");
}

TEST_F(LoggingTest, partialLineIsDiscardedByTheNextBegin) {
    control.BeginLogging();
    deliver("lost");
    stop();
    EXPECT_EQ(control.PendingLine(), "lost");
    control.BeginLogging();
    deliver("kept\r");
    EXPECT_EQ(fileSoon("kept\r\n"), "kept\r\n");
}

TEST_F(LoggingTest, memoryOfALongLineIsGivenBackOnceWrittenOrOnTheNextBegin) {
    const std::string longLine(1 << 20, 'x');
    control.BeginLogging();
    deliver(longLine);
    deliver("\rtail");
    EXPECT_LT(control.PendingLine().capacity(), 4096u) << "after the line was written";

    deliver(longLine);
    stop();
    control.BeginLogging();
    EXPECT_LT(control.PendingLine().capacity(), 4096u) << "after a new begin";
}

TEST_F(LoggingTest, pathIsTakenExactlyAsTyped) {
    window.path = (dir / " spaced name .txt").u8string();
    control.BeginLogging();
    deliver("x\r");
    stop();
    EXPECT_EQ(readBytes(dir / " spaced name .txt"), "x\r\n");
}

TEST_F(LoggingTest, busyPortRefusesToBeginAndTouchesNothing) {
    port.openError = 2;
    control.BeginLogging();
    EXPECT_EQ(window.boxes, std::vector<Box>{kPortBusy});
    EXPECT_EQ(port.calls, std::vector<std::string>{"open"});
    EXPECT_TRUE(window.idle());
    EXPECT_FALSE(fs::exists(fs::u8path(window.path))) << "the port is tried before the file";

    port.openError = 0;
    window.boxes.clear();
    control.BeginLogging();
    EXPECT_TRUE(window.boxes.empty()) << "a failed begin leaves no error behind";
    EXPECT_TRUE(window.logging());
}

class UnopenableLogPath : public LoggingTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnopenableLogPath, refusesToBeginAndClosesThePortAfterTheMessage) {
    const std::string kind = GetParam();
    if (kind == "empty")
        window.path.clear();
    else if (kind == "missing folder")
        window.path = (dir / "no such folder" / "log.txt").u8string();
    else
        window.path = dir.u8string();

    bool portOpenDuringBox = false;
    window.duringBox = [&] { portOpenDuringBox = port.open; };
    control.BeginLogging();

    EXPECT_EQ(window.boxes, std::vector<Box>{kFileFailed});
    EXPECT_TRUE(portOpenDuringBox);
    EXPECT_EQ(port.calls, (std::vector<std::string>{"open", "close"}));
    EXPECT_FALSE(port.open);
    EXPECT_FALSE(control.IsLogging());
    EXPECT_TRUE(window.idle());
}

INSTANTIATE_TEST_SUITE_P(Paths, UnopenableLogPath,
                         ::testing::Values("empty", "missing folder", "directory"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
                             return name;
                         });

TEST_F(LoggingTest, portActivityDuringTheFileFailureMessageWritesNothing) {
    window.path = (dir / "no such folder" / "log.txt").u8string();
    window.duringBox = [&] { deliver("line\r"); };
    control.BeginLogging();
    EXPECT_EQ(window.boxes.size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "no such folder"));

    window.path = (dir / "log.txt").u8string();
    window.duringBox = nullptr;
    control.BeginLogging();
    deliver("next\r");
    EXPECT_EQ(fileSoon("next\r\n"), "next\r\n");
}

TEST_F(LoggingTest, disconnectedDeviceStopsLoggingOnceWithAMessage) {
    control.BeginLogging();
    deliver("done\rpart");
    control.PortDisconnected();
    const Box expected{"Comm port 1 was disconnected. Logging has stopped.", "Error"};
    EXPECT_EQ(window.boxes, std::vector<Box>{expected});
    EXPECT_TRUE(settle([&] { return window.idle(); }));
    EXPECT_EQ(fileBytes(), "done\r\n");

    control.PortDisconnected();
    EXPECT_EQ(window.boxes.size(), 1u) << "nothing to report when not logging";
}

// Every way a run ends first takes what the port has received but not yet handed out (a serial
// control gathers bytes for a while), so no complete line is lost.
struct RunEnd {
    const char* name;
    void (*end)(tolvar::LoggingControl& control);
};

const RunEnd kRunEnds[] = {
    {"Stop", [](tolvar::LoggingControl& c) { c.StopLogging(); }},
    {"NinetiethTick",
     [](tolvar::LoggingControl& c) {
         for (int i = 0; i < tolvar::LoggingControl::kTickLimit; ++i)
             c.CountTimeoutTick();
     }},
    {"WindowClosing", [](tolvar::LoggingControl& c) { c.WindowClosing(); }},
    {"Unplug", [](tolvar::LoggingControl& c) { c.PortDisconnected(); }},
};

void PrintTo(const RunEnd& e, std::ostream* os) {
    *os << e.name;
}

class EndOfRun : public LoggingTest, public ::testing::WithParamInterface<RunEnd> {};

TEST_P(EndOfRun, firstLogsEveryLineThePortHasReceived) {
    control.BeginLogging();
    port.inDriver = "held\rpart";
    GetParam().end(control);
    EXPECT_FALSE(port.open);
    EXPECT_TRUE(settle([&] { return window.idle(); }));
    EXPECT_EQ(fileBytes(), "held\r\n");
}

INSTANTIATE_TEST_SUITE_P(Ends, EndOfRun, ::testing::ValuesIn(kRunEnds),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
