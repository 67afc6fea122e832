// SPDX-License-Identifier: MIT
#include "PortLock.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

namespace {

using tolvar::PortLock;
using Outcome = PortLock::Outcome;

} // namespace

namespace tolvar {
void PrintTo(PortLock::Outcome outcome, std::ostream* out) {
    *out << (outcome == PortLock::Outcome::taken   ? "taken"
             : outcome == PortLock::Outcome::inUse ? "inUse"
                                                   : "unavailable");
}
} // namespace tolvar

namespace {

std::string ascii(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

std::string binary(std::int32_t pid) {
    return std::string(reinterpret_cast<const char*>(&pid), sizeof pid);
}

std::string contentOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

bool write(const std::string& path, const std::string& content) {
    return static_cast<bool>(std::ofstream(path, std::ios::binary) << content);
}

struct LockFolder : ::testing::Test {
    void SetUp() override {
        folder = ::testing::TempDir() + "portlock.XXXXXX";
        ASSERT_NE(::mkdtemp(folder.data()), nullptr);
        lock = folder + "/LCK..pts_7"; // the name Qt gives it too
        victim = folder + "/victim";
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    PortLock lockFor(pid_t owner) { return PortLock("/dev/pts/7", owner, {folder}); }

    std::string folder, lock, victim;
    const pid_t alive = ::getppid();
    const pid_t dead = INT32_MAX; // above any pid_max
};

TEST_F(LockFolder, judgesWhatSitsWhereTheLockBelongs) {
    const struct {
        const char* name;
        std::function<bool(LockFolder&)> plant;
        Outcome outcome;
    } cases[] = {
        {"nothing", [](LockFolder&) { return true; }, Outcome::taken},
        {"live, ten digits", [](LockFolder& f) { return write(f.lock, ascii(f.alive)); },
         Outcome::inUse},
        {"live, binary", [](LockFolder& f) { return write(f.lock, binary(f.alive)); },
         Outcome::inUse},
        {"dead, ten digits", [](LockFolder& f) { return write(f.lock, ascii(f.dead)); },
         Outcome::taken},
        {"dead, binary", [](LockFolder& f) { return write(f.lock, binary(f.dead)); },
         Outcome::taken},
        {"garbage", [](LockFolder& f) { return write(f.lock, "no pid\n"); }, Outcome::inUse},
        {"FIFO", [](LockFolder& f) { return ::mkfifo(f.lock.c_str(), 0666) == 0; }, Outcome::inUse},
        {"directory", [](LockFolder& f) { return ::mkdir(f.lock.c_str(), 0777) == 0; },
         Outcome::inUse},
        {"symbolic link to a victim naming a dead process",
         [](LockFolder& f) {
             return write(f.victim, ascii(f.dead)) &&
                    ::symlink(f.victim.c_str(), f.lock.c_str()) == 0;
         },
         Outcome::inUse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        ASSERT_TRUE(c.plant(*this));
        const std::string victimBefore = contentOf(victim);
        struct stat before {};
        const bool planted = ::lstat(lock.c_str(), &before) == 0;

        PortLock port = lockFor(::getpid());
        EXPECT_EQ(port.Take(), c.outcome);
        if (c.outcome == Outcome::taken) {
            EXPECT_EQ(contentOf(lock), ascii(::getpid()));
            port.Release();
            EXPECT_NE(::access(lock.c_str(), F_OK), 0) << "the lock goes at Release";
        } else {
            EXPECT_NE(port.Holder().find(lock), std::string::npos) << port.Holder();
            struct stat after {};
            ASSERT_TRUE(planted);
            ASSERT_EQ(::lstat(lock.c_str(), &after), 0) << "what held the port is left alone";
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_mtime, before.st_mtime);
        }
        EXPECT_EQ(contentOf(victim), victimBefore);
    }
}

TEST_F(LockFolder, aDeviceInItsPlaceMeansInUse) {
    if (::mknod(lock.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0)
        GTEST_SKIP() << "no device can be made here";
    PortLock port = lockFor(::getpid());
    EXPECT_EQ(port.Take(), Outcome::inUse);
    EXPECT_NE(port.Holder().find("a device"), std::string::npos) << port.Holder();
}

TEST_F(LockFolder, isRemovedOnlyWhileItNamesItsOwner) {
    PortLock port = lockFor(::getpid());
    ASSERT_EQ(port.Take(), Outcome::taken);
    ASSERT_TRUE(write(lock, ascii(alive))); // another program took the port over meanwhile
    port.Release();
    EXPECT_EQ(contentOf(lock), ascii(alive));
}

TEST_F(LockFolder, noFolderToWriteMeansUnavailable) {
    PortLock port("/dev/pts/7", ::getpid(), {folder + "/missing"});
    EXPECT_EQ(port.Take(), Outcome::unavailable);
}

// Programs starting at the same moment over one stale lock: exactly one may run. Threads stand
// in for them, owned by PIDs that live for the whole test.
TEST_F(LockFolder, ofTakersOfAStaleLockAtOneMomentExactlyOneWins) {
    const std::vector<pid_t> owners = {::getpid(), alive, 1};
    const int count = static_cast<int>(owners.size());
    for (int round = 0; round < 500; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(write(lock, ascii(dead)));
        std::atomic<int> started{0}, judged{0};
        std::atomic<bool> checked{false};
        std::vector<Outcome> outcomes(owners.size());
        std::vector<std::thread> takers;
        for (int i = 0; i < count; ++i)
            takers.emplace_back([&, i] {
                PortLock port = lockFor(owners[i]);
                for (++started; started < count;)
                    std::this_thread::yield();
                outcomes[i] = port.Take();
                ++judged;
                while (!checked) // the lock stays until every outcome is seen
                    std::this_thread::yield();
            });
        while (judged < count)
            std::this_thread::yield();
        const auto winner = std::find(outcomes.begin(), outcomes.end(), Outcome::taken);
        ASSERT_NE(winner, outcomes.end());
        EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), Outcome::taken), 1);
        EXPECT_EQ(contentOf(lock), ascii(owners[winner - outcomes.begin()]));
        checked = true;
        for (std::thread& taker : takers)
            taker.join();
        ASSERT_NE(::access(lock.c_str(), F_OK), 0) << "the winner's lock goes with it";
    }
}

} // namespace
