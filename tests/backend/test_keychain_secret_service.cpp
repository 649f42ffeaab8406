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

#include <cstdio>

using namespace hf;

namespace {

// The application's side in a process of its own, so that a crash is seen: "save" stores each line
// of its standard input as the token, printing "saved" after each, until the input closes; "read"
// prints the token found.
int keychainClient(const QStringList& args)
{
    auto keychain = std::make_shared<DesktopKeychain>(args[2], std::chrono::milliseconds(args[3].toInt()));
    KeychainTokenStore store(QStringLiteral("svc"), QStringLiteral("session-token"), keychain);
    if (args[4] == u"read") {
        std::printf("token: %s\n", qPrintable(store.token().value_or(QStringLiteral("<none>"))));
        return 0;
    }
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    for (QByteArray line = in.readLine(); !line.isEmpty(); line = in.readLine()) {
        store.save(QString::fromUtf8(line.trimmed()));
        std::printf("saved\n");
        std::fflush(stdout);
    }
    return 0;
}

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

    // A prompt answered after the keychain gave up on it, or dismissed: the application lives, logs
    // what happened, and the next start finds the last token saved.
    void promptAnsweredLateOrDismissed_data()
    {
        QTest::addColumn<QString>("keyring");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("steps");  // tokens saved, and when the prompt is answered
        QTest::addColumn<QString>("told");       // what the saves log
        QTest::addColumn<QString>("lateAnswer"); // what the late answer logs
        const QString timedOut = QStringLiteral("did not take the token \\(status -25291\\)");
        const QStringList saveThenAnswer{"tøken-1", "answer"};
        QTest::newRow("new keyring, accepted late")
            << "absent" << "accept" << QStringList{"tøken-1", "answer", "tøken-2"} << timedOut << "stored the item late";
        QTest::newRow("new keyring, dismissed late") << "absent" << "dismiss" << saveThenAnswer << timedOut << "did not store the item";
        QTest::newRow("new item, accepted late") << "present" << "accept" << saveThenAnswer << timedOut << "stored the item late";
        QTest::newRow("new item, accepted late, token changed meanwhile")
            << "present" << "accept" << QStringList{"tøken-1", "tøken-2", "answer"} << "earlier call yet; this read is not sent"
            << "service's copy is removed";
        QTest::newRow("new item, dismissed late") << "present" << "dismiss" << saveThenAnswer << timedOut
                                                  << "did not store the item \\(status -128\\)";
        QTest::newRow("new item, dismissed at once") << "present" << "dismiss" << QStringList{"tøken-1"}
                                                     << "did not take the token \\(status -128\\)" << QString();
    }

    void promptAnsweredLateOrDismissed()
    {
        QFETCH(QString, keyring);
        QFETCH(QString, answer);
        QFETCH(QStringList, steps);
        QFETCH(QString, told);
        QFETCH(QString, lateAnswer);
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
        QProcess service;
        service.setProcessEnvironment(env);
        service.start(QStringLiteral("dbus-run-session"), {"--", "/usr/bin/python3", QFINDTESTDATA("../support/secret_service_stand_in.py"),
                                                           keyring, answer, steps.contains("answer") ? "late" : "now"});
        QVERIFY2(shows(service, "ready .*\n"), qPrintable(output + service.readAllStandardError()));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), output.section(u' ', 1).trimmed());
        // The keychain gives up after 5 s: past any call but a prompt's on a busy machine.
        auto client = [&](const QString& command) {
            auto process = std::make_unique<QProcess>();
            process->setProcessEnvironment(env);
            process->setProcessChannelMode(QProcess::MergedChannels);
            process->start(QCoreApplication::applicationFilePath(), {"--keychain-client", dir.path(), "5000", command});
            return process;
        };
        output.clear();
        auto saving = client("save");
        qsizetype saves = 0;
        for (const QString& step : steps) {
            if (step == u"answer") {
                service.write("answer\n"); // after the keychain gave up, as a user coming back later
                const bool logged = shows(*saving, lateAnswer);
                QVERIFY2(saving->state() == QProcess::Running, qPrintable(output + "[died at the late answer]"));
                QVERIFY2(logged, qPrintable(output));
            } else {
                saving->write(step.toUtf8() + '\n');
                QVERIFY2(shows(*saving, "saved\n", ++saves), qPrintable(output));
            }
        }
        saving->closeWriteChannel();
        QVERIFY(ended(*saving));
        QVERIFY2(saving->exitStatus() == QProcess::NormalExit && saving->exitCode() == 0, qPrintable(output));
        QVERIFY2(output.contains(QRegularExpression(told)), qPrintable(output));

        output.clear();
        auto nextStart = client("read");
        QVERIFY2(shows(*nextStart, "token: " + steps.filter(QRegularExpression("^tøken")).last() + '\n'), qPrintable(output));
        QVERIFY(ended(*nextStart) && nextStart->exitStatus() == QProcess::NormalExit);
        service.closeWriteChannel();
        QVERIFY(ended(service));
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
