// The desktop keychain against a real Secret Service (a throwaway gnome-keyring in a private
// session bus; scripts/test sets it up), and its fallback file where no service answers.

#include "backend/session_token_store.h"
#include "platform/keychain.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

using namespace hf;

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

QTEST_GUILESS_MAIN(TestKeychainSecretService)
#include "test_keychain_secret_service.moc"
