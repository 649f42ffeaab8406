// The desktop keychain against a real Secret Service (a throwaway gnome-keyring in a private
// session bus; scripts/test sets it up), against a stand-in service whose prompts the test answers
// (tests/support/secret_service_stand_in.py, in a bus of its own), and its fallback file where no
// service answers.

#include "backend/session_token_store.h"
#include "platform/keychain.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>

using namespace hf;

namespace {

// The application's side in a process of its own, so that a crash is seen: "save" takes each line
// of its standard input in turn, printing "done" after each, until the input closes: "sign out"
// signs out, "alternate" reads and saves through this keychain and a second one in turn, appending
// an "x" each time, anything else is saved as the token; "read" prints the token found.
int keychainClient(const QStringList& args)
{
    const auto timeout = std::chrono::milliseconds(args[3].toInt());
    auto keychain = std::make_shared<DesktopKeychain>(args[2], timeout);
    KeychainTokenStore store(QStringLiteral("svc"), QStringLiteral("session-token"), keychain);
    if (args[4] == u"read") {
        std::printf("token: %s\n", qPrintable(store.token().value_or(QStringLiteral("<none>"))));
        return 0;
    }
    const std::shared_ptr<KeychainBackend> both[] = {keychain, std::make_shared<DesktopKeychain>(args[2], timeout)};
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    for (QByteArray line = in.readLine().trimmed(); !line.isEmpty(); line = in.readLine().trimmed()) {
        for (int turn = 0; line == "alternate" && turn < 8; ++turn) {
            KeychainTokenStore each(QStringLiteral("svc"), QStringLiteral("session-token"), both[turn % 2]);
            each.save(each.token().value_or(QString()) + u'x');
        }
        line == "sign out" ? store.clear() : line == "alternate" ? void() : store.save(QString::fromUtf8(line));
        std::printf("done\n");
        std::fflush(stdout);
    }
    return 0;
}

// The secret store declines every item; the legacy form's files take them.
struct FilesOnly final : KeychainBackend {
    DesktopKeychain files;
    explicit FilesOnly(const QString& folder) : files(folder) {}
    static bool file(const KeychainItemQuery& q) { return q.form == KeychainForm::legacy; }
    ReadResult copyMatching(const KeychainItemQuery& q) override { return file(q) ? files.copyMatching(q) : ReadResult{}; }
    int update(const KeychainItemQuery& q, const QByteArray& d) override { return file(q) ? files.update(q, d) : -34018; }
    int add(const KeychainItemQuery& q, const QByteArray& d, bool) override { return file(q) ? files.add(q, d, false) : -34018; }
    int remove(const KeychainItemQuery& q) override { return file(q) ? files.remove(q) : -34018; }
};

} // namespace

class TestKeychainSecretService : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roundTripThroughTheSecretService()
    {
        if (qEnvironmentVariable("HF_SECRET_SERVICE_TEST") != u"1")
            QSKIP("needs a Secret Service: run through scripts/test");
        QTemporaryDir legacy;
        auto keychain = std::make_shared<DesktopKeychain>(legacy.path());
        const QString service = QStringLiteral("dev.lanternworkshop.Hushframe.test.") + QUuid::createUuid().toString(QUuid::Id128);
        {
            KeychainTokenStore store(service, QStringLiteral("session-token"), keychain);
            QVERIFY(!store.token());
            store.save(QStringLiteral("tøken-1"));
            store.save(QStringLiteral("tøken-2"));
        }
        // A new store (a new launch) reads it back from the service, not from the fallback file.
        {
            KeychainTokenStore store(service, QStringLiteral("session-token"), keychain);
            QCOMPARE(store.token(), std::optional<QString>(QStringLiteral("tøken-2")));
            QVERIFY(QDir(legacy.path()).isEmpty());
            store.clear();
        }
        KeychainTokenStore store(service, QStringLiteral("session-token"), keychain);
        QVERIFY(!store.token());
    }

    void withoutASecretServiceTheTokenStaysInAPrivateFile()
    {
        if (qEnvironmentVariable("HF_SECRET_SERVICE_TEST") == u"1")
            QSKIP("a Secret Service runs here");
        // No session bus: the data-protection form is unavailable, so saves land in the file.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/hushframe-test-bus");
        QTemporaryDir folder;
        auto keychain = std::make_shared<DesktopKeychain>(folder.path());
        QTest::failOnWarning(QRegularExpression(QStringLiteral("Keychain save failed")));
        {
            KeychainTokenStore store(QStringLiteral("svc"), QStringLiteral("session-token"), keychain);
            store.save(QStringLiteral("offline-token"));
        }
        KeychainTokenStore store(QStringLiteral("svc"), QStringLiteral("session-token"), keychain);
        QCOMPARE(store.token(), std::optional<QString>(QStringLiteral("offline-token")));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 1);
    }

    // A prompt answered after the keychain gave up on it, dismissed, or open at quit; a sign-out while
    // a call waits; two keychains in one process: the application lives, logs what happened, and the
    // next start finds the last token saved, or none after a sign-out.
    void promptAnsweredLateOrDismissed_data()
    {
        QTest::addColumn<QString>("keyring");
        QTest::addColumn<QString>("answer");     // to the prompts in turn, late where the steps answer
        QTest::addColumn<QStringList>("steps");  // the client's lines, and when the prompts are answered
        QTest::addColumn<QString>("told");       // what the client logs
        QTest::addColumn<QString>("lateAnswer"); // what the late answer logs
        const QString timedOut = QStringLiteral("did not take the token \\(status -25291\\)");
        const QStringList saveThenAnswer{"tøken-1", "answer"};
        QTest::newRow("new keyring, accepted late")
            << "absent" << "accept" << QStringList{"tøken-1", "answer", "tøken-2"} << timedOut << "stored the item late";
        QTest::newRow("new keyring, dismissed late") << "absent" << "dismiss" << saveThenAnswer << timedOut << "did not store the item";
        QTest::newRow("new item, accepted late") << "present" << "accept" << saveThenAnswer << timedOut << "stored the item late";
        QTest::newRow("new item, accepted late, token changed meanwhile")
            << "present" << "accept" << QStringList{"tøken-1", "tøken-2", "answer"} << "earlier call yet; this read is not sent"
            << "outdated copy is removed";
        QTest::newRow("new item, dismissed late") << "present" << "dismiss" << saveThenAnswer << timedOut
                                                  << "did not store the item \\(status -128\\)";
        QTest::newRow("new item, dismissed at once") << "present" << "dismiss" << QStringList{"tøken-1"}
                                                     << "did not take the token \\(status -128\\)" << QString();
        const QString older = QStringLiteral("accept:now,accept:late"), notSent = QStringLiteral("this read is not sent");
        QTest::newRow("older item, prompt open at quit") << "present" << older << QStringList{"tøken-0", "tøken-1", "tøken-2"} << notSent << QString();
        QTest::newRow("older item, dismissed late") << "present" << "accept:now,dismiss:late" << QStringList{"tøken-0", "tøken-1", "answer"}
                                                    << timedOut << "did not store the item";
        QTest::newRow("older item, quit right after a late answer")
            << "present" << older << QStringList{"tøken-0", "tøken-1", "tøken-2", "answer, quit"} << notSent << QString();
        QTest::newRow("sign-out while a call waits") << "present" << older << QStringList{"tøken-0", "tøken-1", "sign out"}
                                                     << "this removal is not sent" << QString();
        QTest::newRow("sign-out while a call waits, answered late")
            << "present" << older << QStringList{"tøken-0", "tøken-1", "sign out", "answer"} << timedOut << "outdated copy is removed";
        QTest::newRow("two keychains in one process") << "absent" << "accept" << QStringList{"alternate"} << QString() << QString();
        QTest::newRow("service ended at a prompt") << "present" << older << QStringList{"tøken-0", "tøken-1", "end service", "tøken-2"}
                                                   << "(?s)went away while a write.*status -25291.*read is not sent" << QString();
    }

    void promptAnsweredLateOrDismissed()
    {
        QFETCH(QString, keyring);
        QFETCH(QString, answer);
        QFETCH(QStringList, steps);
        QFETCH(QString, told);
        QFETCH(QString, lateAnswer);
        const QString found = steps.contains("sign out") ? "<none>"
                              : steps.contains("alternate") ? "xxxxxxxx" : steps.filter(QRegularExpression("^tøken")).last();
        QString output;
        auto shows = [&](QProcess& process, const QString& pattern, qsizetype times = 1) {
            const QRegularExpression expression(pattern);
            return QTest::qWaitFor([&] {
                output += QString::fromUtf8(process.readAll());
                return output.count(expression) >= times || process.state() == QProcess::NotRunning;
            }, 30'000) && output.count(expression) >= times;
        };
        auto ended = [](QProcess& process) { return process.state() == QProcess::NotRunning || process.waitForFinished(30'000); };
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"HOME", "XDG_DATA_HOME"}) // should the bus start a real keyring, not the user's
            env.insert(QString::fromLatin1(name), dir.path());
        QProcess bus, service; // the bus outlives the service, which a row ends
        bus.setProcessEnvironment(env);
        bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        QVERIFY(shows(bus, "\n"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), output.trimmed());
        service.setProcessEnvironment(env);
        service.start(QStringLiteral("/usr/bin/python3"), {QFINDTESTDATA("../support/secret_service_stand_in.py"), keyring, answer,
                                                           steps.contains("answer") ? "late" : "now"});
        QVERIFY2(shows(service, "ready .*\n"), qPrintable(output + service.readAllStandardError()));
        // The keychain gives up after 5 s: past any call but a prompt's on a busy machine (after 120 s
        // where the service ends: only its going away may end that wait).
        auto client = [&](const QString& command) {
            auto process = std::make_unique<QProcess>();
            process->setProcessEnvironment(env);
            process->setProcessChannelMode(QProcess::MergedChannels);
            process->start(QCoreApplication::applicationFilePath(),
                           {"--keychain-client", dir.path(), steps.contains("end service") ? "120000" : "5000", command});
            return process;
        };
        output.clear();
        auto saving = client("save");
        qsizetype done = 0;
        for (const QString& step : steps) {
            if (step.startsWith(u"answer")) {
                service.write("answer\n"); // after the keychain gave up, as a user coming back later
                service.waitForBytesWritten();
                if (step != u"answer")
                    break; // and the application quits at once
                const bool logged = shows(*saving, lateAnswer);
                QVERIFY2(saving->state() == QProcess::Running, qPrintable(output + "[died at the late answer]"));
                QVERIFY2(logged, qPrintable(output));
            } else if (step == u"end service") { // while the save before waits at its prompt
                QVERIFY2(shows(service, "prompt open\n"), qPrintable(output));
                service.kill();
                const QDeadlineTimer inTime(2000);
                QVERIFY2(shows(*saving, "done\n", ++done) && !inTime.hasExpired(), qPrintable(output));
            } else {
                saving->write(step.toUtf8() + '\n');
                QVERIFY2(steps.value(steps.indexOf(step) + 1) == u"end service" || shows(*saving, "done\n", ++done), qPrintable(output));
            }
        }
        saving->closeWriteChannel();
        QVERIFY(ended(*saving));
        QVERIFY2(saving->exitStatus() == QProcess::NormalExit && saving->exitCode() == 0, qPrintable(output));
        QVERIFY2(output.contains(QRegularExpression(told)), qPrintable(output));

        output.clear();
        auto nextStart = client("read");
        QVERIFY2(shows(*nextStart, "token: " + found + '\n'), qPrintable(output));
        QVERIFY(ended(*nextStart) && nextStart->exitStatus() == QProcess::NormalExit);
        service.closeWriteChannel();
        QVERIFY(ended(service));
        bus.terminate();
        QVERIFY(ended(bus));
    }

    void fallbackFileIsPrivate()
    {
        QTemporaryDir folder;
        DesktopKeychain keychain(folder.path() + QStringLiteral("/keychain"));
        const KeychainItemQuery query{KeychainForm::legacy, QStringLiteral("svc"), QStringLiteral("acct")};
        QCOMPARE(keychain.copyMatching(query).status, KeychainStatus::itemNotFound);
        QCOMPARE(keychain.update(query, "x"), KeychainStatus::itemNotFound);
        QCOMPARE(keychain.add(query, "secret", false), KeychainStatus::success);
        const auto read = keychain.copyMatching(query);
        QCOMPARE(read.status, KeychainStatus::success);
        QCOMPARE(read.data, std::optional<QByteArray>("secret"));
        const QFileInfoList files = QDir(folder.path() + QStringLiteral("/keychain")).entryInfoList(QDir::Files);
        QCOMPARE(files.size(), 1);
        QCOMPARE(files.first().permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup | QFileDevice::WriteOther),
                 QFileDevice::Permissions());
        QCOMPARE(keychain.update(query, "newer"), KeychainStatus::success);
        QCOMPARE(keychain.copyMatching(query).data, std::optional<QByteArray>("newer"));
        QCOMPARE(keychain.remove(query), KeychainStatus::success);
        QCOMPARE(keychain.remove(query), KeychainStatus::itemNotFound);
    }

    // A disk too full for the new file keeps the earlier one.
    void fullDiskKeepsTheEarlierToken()
    {
        QTemporaryDir folder;
        auto store = [files = std::make_shared<FilesOnly>(folder.path())] { return KeychainTokenStore("svc", "session-token", files); };
        store().save(QStringLiteral("tøken-1"));
        rlimit limit{}, fullDisk{};
        getrlimit(RLIMIT_FSIZE, &limit);
        fullDisk = {4, limit.rlim_max}; // bytes a file may hold
        std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &fullDisk);
        QTest::ignoreMessage(QtCriticalMsg, "Keychain save failed with status -34018");
        store().save(QStringLiteral("tøken-2"));
        setrlimit(RLIMIT_FSIZE, &limit);
        QCOMPARE(store().token(), std::optional<QString>(QStringLiteral("tøken-1")));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == u"--keychain-client")
        return keychainClient(app.arguments());
    TestKeychainSecretService test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_keychain_secret_service.moc"
