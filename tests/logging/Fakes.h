// SPDX-License-Identifier: MIT
#pragma once

#include "LoggingControl.h"
#include "LoggingWindow.h"
#include "SerialPort.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A port that delivers whatever the test puts in `waiting`, and what it puts in `inDriver` only
// once gathered; it remembers opens and closes.
struct FakePort final : tolvar::SerialPort {
    int openError = 0;
    bool open = false;
    std::string waiting, inDriver;
    std::vector<std::string> calls;

    int PortOpen(bool wantOpen) override {
        calls.push_back(wantOpen ? "open" : "close");
        if (wantOpen && openError != 0)
            return openError;
        open = wantOpen;
        return 0;
    }
    std::string Input() override { return std::exchange(waiting, {}); }
    void Gather() override { waiting += std::exchange(inDriver, {}); }
};

struct Box {
    std::string text, title;
    bool operator==(const Box& other) const { return text == other.text && title == other.title; }
};

// Records what the logic does to the window; `duringBox` runs while a box is up, as the
// event loop of a real modal box would.
struct FakeWindow final : tolvar::LoggingWindow {
    std::string path;
    std::map<tolvar::Switch, bool> enabled{{tolvar::Switch::tmrTimeout, false},
                                           {tolvar::Switch::cmdBegin, true},
                                           {tolvar::Switch::cmdStop, false},
                                           {tolvar::Switch::txtPath, true}};
    std::vector<Box> boxes;
    std::function<void()> duringBox;
    // The taskbar as the operator would see it: ticks shown (-1 for none), attention asked for.
    int progress = -1;
    int attentions = 0;

    std::string PathText() const override { return path; }
    void SetEnabled(tolvar::Switch part, bool on) override { enabled[part] = on; }
    void ShowCritical(const std::string& text, const std::string& title) override {
        boxes.push_back({text, title});
        if (duringBox)
            duringBox();
    }
    void ShowProgress(std::int16_t ticks) override { progress = ticks; }
    void HideProgress() override { progress = -1; }
    void AskAttention() override { ++attentions; }
    void PostLogWriterCheck() override {
        const std::lock_guard<std::mutex> held(postLock);
        posted = true;
        postWake.notify_one();
    }
    // Waits until the log writer posts a check or the deadline passes; true for a post.
    bool takePost(Clock::time_point deadline) {
        std::unique_lock<std::mutex> held(postLock);
        return postWake.wait_until(held, deadline, [this] { return posted; }) &&
               std::exchange(posted, false);
    }
    bool idle() const {
        return !enabled.at(tolvar::Switch::tmrTimeout) && enabled.at(tolvar::Switch::cmdBegin) &&
               !enabled.at(tolvar::Switch::cmdStop) && enabled.at(tolvar::Switch::txtPath);
    }
    std::mutex postLock;
    std::condition_variable postWake;
    bool posted = false;

    bool logging() const {
        return enabled.at(tolvar::Switch::tmrTimeout) && !enabled.at(tolvar::Switch::cmdBegin) &&
               enabled.at(tolvar::Switch::cmdStop) && !enabled.at(tolvar::Switch::txtPath);
    }
};

// The logic wired to fakes, with a fresh folder for its log file.
class LoggingTest : public ::testing::Test {
  protected:
    explicit LoggingTest(tolvar::FileCalls calls = {}) : control(port, window, calls) {}

    void SetUp() override {
        dir = fs::temp_directory_path() / ("tolvar-test-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir);
        window.path = (dir / "log.txt").u8string();
    }
    void TearDown() override {
        // Windows cannot remove a file that is still open, and a writer given up on after a stall
        // closes its file only once its last write comes back.
        stop();
        for (const auto deadline = Clock::now() + 5s;; std::this_thread::sleep_for(20ms)) {
            std::error_code failed;
            fs::remove_all(dir, failed);
            if (!failed || Clock::now() >= deadline)
                break;
        }
    }

    // Runs the log writer's checks on this thread, as the window's event loop would, until
    // `done` holds or a few seconds have passed; tells whether it holds.
    template <class Condition> bool settle(Condition done, std::chrono::seconds limit = 5s) {
        const auto deadline = Clock::now() + limit;
        while (!done()) {
            if (!window.takePost(deadline))
                return done();
            control.CheckLogWriter();
        }
        return true;
    }
    // Runs the checks the log writer has posted so far.
    void pump() {
        settle([] { return false; }, 0s);
    }
    void stop() {
        control.StopLogging();
        settle([&] { return window.idle(); });
    }
    // Waits a moment for the writer to bring the file to `expected`; returns what it holds.
    std::string fileSoon(const std::string& expected) const {
        for (const auto deadline = Clock::now() + 3s;
             fileBytes() != expected && Clock::now() < deadline;)
            std::this_thread::sleep_for(5ms);
        return fileBytes();
    }

    void deliver(const std::string& bytes) {
        port.waiting += bytes;
        control.CapturePortInput();
    }
    std::string fileBytes() const { return readBytes(fs::u8path(window.path)); }
    static std::string readBytes(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path dir;
    FakePort port;
    FakeWindow window;
    tolvar::LoggingControl control{port, window};
};
