// The session token store's keychain algorithm, on a fake keychain that records every call.

#include "backend/session_token_store.h"

#include <QTest>

using namespace hf;

namespace {

class FakeKeychain final : public KeychainBackend {
public:
    struct Store {
        std::optional<QByteArray> item;
        bool accessibleAfterFirstUnlock = false;
    };
    Store dataProtection;
    Store legacy;
    bool entitled = true;    // false: the data-protection form answers missingEntitlement
    int failAllWith = 0;     // non-zero: every call answers this status
    QStringList calls;

    Store& of(KeychainForm form) { return form == KeychainForm::dataProtection ? dataProtection : legacy; }
    static QString name(KeychainForm form) { return form == KeychainForm::dataProtection ? QStringLiteral("dp") : QStringLiteral("legacy"); }
    int gate(const KeychainItemQuery& q)
    {
        if (failAllWith)
            return failAllWith;
        if (q.form == KeychainForm::dataProtection && !entitled)
            return KeychainStatus::missingEntitlement;
        return KeychainStatus::success;
    }

    ReadResult copyMatching(const KeychainItemQuery& q) override
    {
        calls << QStringLiteral("copy ") + name(q.form);
        if (int s = gate(q))
            return {s, std::nullopt};
        if (!of(q.form).item)
            return {KeychainStatus::itemNotFound, std::nullopt};
        return {KeychainStatus::success, of(q.form).item};
    }
    int update(const KeychainItemQuery& q, const QByteArray& data) override
    {
        calls << QStringLiteral("update ") + name(q.form);
        if (int s = gate(q))
            return s;
        if (!of(q.form).item)
            return KeychainStatus::itemNotFound;
        of(q.form).item = data;
        return KeychainStatus::success;
    }
    int add(const KeychainItemQuery& q, const QByteArray& data, bool accessible) override
    {
        calls << QStringLiteral("add ") + name(q.form);
        if (int s = gate(q))
            return s;
        if (of(q.form).item)
            return KeychainStatus::duplicateItem;
        of(q.form) = {data, accessible};
        return KeychainStatus::success;
    }
    int remove(const KeychainItemQuery& q) override
    {
        calls << QStringLiteral("delete ") + name(q.form);
        if (int s = gate(q))
            return s;
        if (!of(q.form).item)
            return KeychainStatus::itemNotFound;
        of(q.form).item.reset();
        return KeychainStatus::success;
    }
};

} // namespace

class TestSessionTokenStore : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeKeychain> keychain;
    std::unique_ptr<KeychainTokenStore> store;

    void fresh()
    {
        keychain = std::make_shared<FakeKeychain>();
        store = std::make_unique<KeychainTokenStore>(QStringLiteral("dev.lanternworkshop.Hushframe.session"),
                                                     QStringLiteral("session-token"), keychain);
    }

private Q_SLOTS:
    void readsEachFormOnceAtMost()
    {
        fresh();
        QVERIFY(!store->token());
        QCOMPARE(keychain->calls, QStringList({"copy legacy", "copy dp"}));
        // A token written elsewhere after a failed first read stays unseen: the store asks once.
        keychain->dataProtection.item = "late";
        QVERIFY(!store->token());
        QCOMPARE(keychain->calls.size(), 2);

        // A file as earlier versions wrote it reads after the secure form.
        fresh();
        keychain->legacy.item = "old-build";
        QCOMPARE(store->token(), std::optional<QString>(QStringLiteral("old-build")));
        fresh();
        keychain->legacy.item = "old-build";
        keychain->dataProtection.item = "newer";
        QCOMPARE(store->token(), std::optional<QString>(QStringLiteral("newer")));

        fresh();
        keychain->dataProtection.item = QByteArray();
        QCOMPARE(store->token(), std::optional<QString>(QString()));

        // Bytes that are not UTF-8 count as not found, and the legacy form is tried.
        fresh();
        keychain->dataProtection.item = QByteArray("\xff\xfe\xfd", 3);
        keychain->legacy.item = "fallback";
        QCOMPARE(store->token(), std::optional<QString>(QStringLiteral("fallback")));
    }

    void savesAddThenUpdateInPlace()
    {
        fresh();
        store->save(QStringLiteral("one"));
        QCOMPARE(keychain->calls, QStringList({"update dp", "add dp", "delete legacy"}));
        QCOMPARE(keychain->dataProtection.item, std::optional<QByteArray>("one"));
        QVERIFY(keychain->dataProtection.accessibleAfterFirstUnlock);
        keychain->calls.clear();
        store->save(QStringLiteral("two"));
        QCOMPARE(keychain->calls, QStringList({"update dp", "delete legacy"}));
        QCOMPARE(keychain->dataProtection.item, std::optional<QByteArray>("two"));
        // The cache serves the token without asking the keychain.
        QCOMPARE(store->token(), std::optional<QString>(QStringLiteral("two")));
        QCOMPARE(keychain->calls.size(), 2);
    }

    void withoutTheSecureFormSavesGoToLegacy()
    {
        fresh();
        keychain->entitled = false;
        keychain->legacy.item = "stale";
        QTest::failOnWarning(QRegularExpression(QStringLiteral("Keychain save failed")));
        store->save(QStringLiteral("tok"));
        QCOMPARE(keychain->calls, QStringList({"update dp", "update legacy"}));
        QVERIFY(!keychain->legacy.accessibleAfterFirstUnlock);
        // The token in the legacy form is newer than the secure form's, until the secure form takes one.
        keychain->entitled = true;
        keychain->dataProtection.item = "older";
        QCOMPARE(KeychainTokenStore(store->service(), store->account(), keychain).token(), std::optional<QString>("tok"));
        store->save(QStringLiteral("tok-2"));
        QVERIFY(!keychain->legacy.item);
        QCOMPARE(KeychainTokenStore(store->service(), store->account(), keychain).token(), std::optional<QString>("tok-2"));
    }

    void failedSaveStillServesTheToken()
    {
        fresh();
        keychain->failAllWith = KeychainStatus::notAvailable;
        QTest::ignoreMessage(QtCriticalMsg, "Keychain save failed with status -25291");
        store->save(QStringLiteral("kept"));
        QCOMPARE(store->token(), std::optional<QString>(QStringLiteral("kept")));
    }

    void clearDeletesBothWithoutReading()
    {
        fresh();
        keychain->legacy.item = "only-here";
        store->clear();
        QCOMPARE(keychain->calls, QStringList({"update legacy", "delete dp", "delete legacy"}));
        QVERIFY(!keychain->legacy.item);
        QVERIFY(!store->token());
        QCOMPARE(keychain->calls.size(), 3);
    }

    void inMemoryStore()
    {
        InMemoryTokenStore memory;
        QVERIFY(!memory.token());
        memory.save(QStringLiteral("a"));
        QCOMPARE(memory.token(), std::optional<QString>(QStringLiteral("a")));
        memory.clear();
        QVERIFY(!memory.token());
    }
};

QTEST_GUILESS_MAIN(TestSessionTokenStore)
#include "test_session_token_store.moc"
