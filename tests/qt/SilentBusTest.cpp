// SPDX-License-Identifier: MIT
#include "WindowFixture.h"

#include <QDBusConnection>
#include <QElapsedTimer>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A system bus that takes connections and never answers, as a stalled one does.
TEST_F(WindowTest, aSystemBusThatNeverAnswersHoldsUpNothing) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = dir.filePath("system_bus_socket").toUtf8();
    ASSERT_LT(static_cast<std::size_t>(path.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path);
    // Qt's desktop platforms connect to the session bus when the program starts; offscreen does
    // not, and a first connect would queue behind the pending one.
    QDBusConnection::sessionBus();

    QElapsedTimer clicked;
    clicked.start();
    QTest::mouseClick(begin(), Qt::LeftButton);
    send("A\r");
    EXPECT_EQ(waitForLog("A\r\n"), "A\r\n");
    QTest::mouseClick(stop(), Qt::LeftButton);
    EXPECT_LT(clicked.elapsed(), 2000);
    EXPECT_TRUE(waitFor([&] { return idle(); }));
    // Once the bus is gone, the program's pending connect fails and the program can end.
    ::close(silent);
}

} // namespace
