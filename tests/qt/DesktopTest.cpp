// SPDX-License-Identifier: MIT
#include "WindowFixture.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>

#include <atomic>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");

// One private bus stands in for both the system and the session bus, with a stand-in logind on
// it: what the window asks of the desktop is watched there, never on the machine's own buses.
// Qt connects to the session bus once, so the bus lives as long as the test program.
class PrivateBus : public ::testing::Environment {
  public:
    void SetUp() override {
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--session"), QStringLiteral("--nofork"),
                      QStringLiteral("--print-address=1")});
        if (!waitFor([&] { return daemon.canReadLine(); })) {
            unusable = "no dbus-daemon: " + daemon.errorString();
            return;
        }
        const QByteArray address = daemon.readLine().trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        watcher = QDBusConnection::connectToBus(QString::fromLatin1(address), "watcher");
        logind.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        logind.setStandardOutputFile(QProcess::nullDevice());
        logind.start(QStringLiteral(DBUSMOCK_PYTHON),
                     {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                      QStringLiteral("--template"), QStringLiteral("logind")});
        const auto registered = [&] {
            return watcher.interface()->isServiceRegistered(kLogind).value();
        };
        waitFor([&] { return registered() || logind.state() == QProcess::NotRunning; }, 10000);
        if (!registered())
            unusable = "no stand-in logind (python3-dbusmock)";
    }
    void TearDown() override {
        for (QProcess* process : {&logind, &daemon}) {
            process->kill();
            process->waitForFinished();
        }
    }

    QString unusable;
    QDBusConnection watcher{QString()};

  private:
    QProcess daemon, logind;
};

PrivateBus* const bus =
    static_cast<PrivateBus*>(::testing::AddGlobalTestEnvironment(new PrivateBus));

class Desktop : public WindowTest {
  protected:
    void SetUp() override {
        if (!bus->unusable.isEmpty())
            GTEST_SKIP() << bus->unusable.toStdString();
        WindowTest::SetUp();
    }

    void tick(int times) {
        for (int i = 0; i < times; ++i)
            QMetaObject::invokeMethod(timer(), "timeout");
    }

    // Each inhibitor logind holds: what, who, why and mode.
    static QList<QStringList> inhibitors() {
        const QDBusMessage reply = bus->watcher.call(
            QDBusMessage::createMethodCall(kLogind, "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "ListInhibitors"));
        QList<QStringList> held;
        const auto list = reply.arguments().value(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            uint user = 0, process = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> user >> process;
            list.endStructure();
            held.append({what, who, why, mode});
        }
        list.endArray();
        return held;
    }
    static bool holdsIdleInhibitor() {
        return inhibitors() == QList<QStringList>{{"idle", "Tolvar data logger module",
                                                   "Logging serial port 1", "block"}};
    }
};

// Takes what the window tells the task manager.
class UpdateRecorder : public QObject {
    Q_OBJECT
  public:
    QList<QVariantList> updates;
  public slots:
    void take(const QDBusMessage& update) { updates.append(update.arguments()); }
};

bool recordUpdates(UpdateRecorder& seen) {
    return bus->watcher.connect({}, {}, "com.canonical.Unity.LauncherEntry", "Update", &seen,
                                SLOT(take(QDBusMessage)));
}

TEST_F(Desktop, taskbarProgressCountsTheTicksAndGoesAtTheStop) {
    UpdateRecorder seen;
    ASSERT_TRUE(recordUpdates(seen));
    QTest::mouseClick(begin(), Qt::LeftButton);
    tick(90);
    ASSERT_TRUE(waitFor([&] { return idle(); }));
    ASSERT_TRUE(waitFor([&] { return seen.updates.size() >= 91; }));
    settle();

    ASSERT_EQ(seen.updates.size(), 91);
    for (int k = 0; k <= 90; ++k) {
        const QVariantList& update = seen.updates[k];
        EXPECT_EQ(update.value(0).toString(), "application://org.example.tolvar.logger.desktop");
        const auto shown = qdbus_cast<QVariantMap>(update.value(1));
        const QVariantMap expected =
            k < 90 ? QVariantMap{{"progress", k / 90.0}, {"progress-visible", true}}
                   : QVariantMap{{"progress-visible", false}};
        EXPECT_EQ(shown, expected) << "update " << k;
    }
}

// Every end of a run switches the timer off in the logic, and the inhibitor goes with the timer.
TEST_F(Desktop, idleSleepIsHeldOffWhileLoggingAndAllowedAgainAtTheStop) {
    QTest::mouseClick(begin(), Qt::LeftButton);
    ASSERT_TRUE(logging());
    ASSERT_TRUE(waitFor(holdsIdleInhibitor)) << inhibitors().size() << " inhibitors";
    settle(); // logind lists the inhibitor before its answer reaches the window

    QTest::mouseClick(stop(), Qt::LeftButton);
    EXPECT_TRUE(waitFor([] { return inhibitors().isEmpty(); }));
    EXPECT_TRUE(waitFor([&] { return idle(); }));
}

// A system bus that takes connections and never answers, as a stalled daemon does, or none at all.
class UnusableSystemBus : public Desktop, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        Desktop::SetUp();
        const QByteArray path = dir.filePath("system_bus_socket").toUtf8();
        sockaddr_un address{AF_UNIX, {}};
        path.toStdString().copy(address.sun_path, sizeof address.sun_path - 1);
        const bool silentBus = GetParam();
        if (silentBus) {
            silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ASSERT_EQ(::listen(silent, 4), 0);
        }
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path);
    }
    void TearDown() override {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus);
        ::close(silent);
    }

    // Whether a connection of its own to the session bus, as the accessibility bridge makes,
    // answers; asked off the window's thread, and left there if it never does.
    static bool sessionBusAnswers() {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        std::unique_ptr<QThread> asker(QThread::create([answered] {
            const QDBusConnection second =
                QDBusConnection::connectToBus(QDBusConnection::SessionBus, "second");
            *answered = second.interface()->isServiceRegistered(kLogind).isValid();
            QDBusConnection::disconnectFromBus(second.name());
        }));
        asker->start();
        if (asker->wait(5000))
            return *answered;
        static_cast<void>(asker.release());
        return false;
    }

    const QByteArray systemBus = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    int silent = -1;
};

TEST_P(UnusableSystemBus, holdsUpNothingAndSaysNothing) {
    UpdateRecorder seen;
    ASSERT_TRUE(recordUpdates(seen));
    testing::internal::CaptureStderr();
    QElapsedTimer clicked;
    clicked.start();
    QTest::mouseClick(begin(), Qt::LeftButton);
    send("A\r");
    EXPECT_EQ(waitForLog("A\r\n"), "A\r\n");
    QTest::mouseClick(stop(), Qt::LeftButton);
    EXPECT_LT(clicked.elapsed(), 1500) << "Begin or Stop waited for the bus";
    EXPECT_TRUE(waitFor([&] { return idle(); }));
    // The program is still waiting for the system bus here.
    EXPECT_TRUE(sessionBusAnswers());
    EXPECT_TRUE(waitFor([&] {
        return !seen.updates.isEmpty() && qdbus_cast<QVariantMap>(seen.updates.last().value(1)) ==
                                              QVariantMap{{"progress-visible", false}};
    })) << "the taskbar progress still shows";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Buses, UnusableSystemBus, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Silent" : "Missing"; });

} // namespace

#include "DesktopTest.moc"
