#pragma once

// The keychain seam under the session token store. The store's algorithm speaks in the keychain
// statuses below and in two keychain forms; a backend carries the calls out. Tests use a fake
// backend that records every call.

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace hf {

namespace KeychainStatus {
constexpr int success = 0;
constexpr int itemNotFound = -25300;
constexpr int duplicateItem = -25299;
constexpr int missingEntitlement = -34018;
constexpr int notAvailable = -25291;
// The store, or its user through a prompt, declined to keep the item.
constexpr int userCanceled = -128;
} // namespace KeychainStatus

// Where an item lives. `dataProtection` is the desktop's secret store (the freedesktop Secret
// Service); `legacy` is the fallback used where that store is missing.
enum class KeychainForm { dataProtection, legacy };

struct KeychainItemQuery {
    KeychainForm form = KeychainForm::dataProtection;
    QString service;
    QString account;
};

class KeychainBackend {
public:
    virtual ~KeychainBackend() = default;

    struct ReadResult {
        int status = KeychainStatus::itemNotFound;
        std::optional<QByteArray> data;
    };

    virtual ReadResult copyMatching(const KeychainItemQuery& query) = 0;
    // Replaces the data of an existing item; itemNotFound when there is none.
    virtual int update(const KeychainItemQuery& query, const QByteArray& data) = 0;
    // Creates an item; `accessibleAfterFirstUnlockThisDeviceOnly` asks the store to keep it on this
    // machine only (the Secret Service never syncs, so the flag needs no action there).
    virtual int add(const KeychainItemQuery& query, const QByteArray& data,
                    bool accessibleAfterFirstUnlockThisDeviceOnly) = 0;
    virtual int remove(const KeychainItemQuery& query) = 0;
};

// Keeps `data` as the item `service`/`account` in the desktop's secret store or, where that store did
// not take it (none runs, it did not answer in time, its user declined), in the legacy form, which
// reads look at next. `status` is the secret store's answer; `kept` whether either form holds the
// data now.
struct KeychainSave {
    int status = KeychainStatus::success;
    bool kept = true;
};
KeychainSave saveWithFallback(KeychainBackend& backend, const QString& service, const QString& account,
                              const QByteArray& data);

// The desktop's keychain. The data-protection form goes to the freedesktop Secret Service
// (GNOME Keyring, KWallet, KeePassXC, ...) through QtKeychain; when no such service answers, its
// calls report missingEntitlement so that the store falls back to the legacy form: one file per
// item under `legacyFolder`, readable by the user only (mode 0600 in a 0700 folder).
// Calls block the caller; the Secret Service is spoken to on a worker thread of this object.
// A call waits at most `answerTimeout` (the service may be showing its user a prompt) and then
// answers notAvailable; the service's late answer is logged, and until it comes every call answers
// notAvailable at once. A write is confirmed by reading the item back: a prompt the user dismissed
// can report success while nothing was stored, and then the write answers userCanceled.
class DesktopKeychain final : public KeychainBackend {
public:
    explicit DesktopKeychain(QString legacyFolder, std::chrono::milliseconds answerTimeout = std::chrono::minutes(2));
    ~DesktopKeychain() override;

    ReadResult copyMatching(const KeychainItemQuery& query) override;
    int update(const KeychainItemQuery& query, const QByteArray& data) override;
    int add(const KeychainItemQuery& query, const QByteArray& data,
            bool accessibleAfterFirstUnlockThisDeviceOnly) override;
    int remove(const KeychainItemQuery& query) override;

    // The default legacy folder: "keychain" in the application's data folder.
    static QString defaultLegacyFolder();

private:
    struct Worker;
    QString m_legacyFolder;
    std::chrono::milliseconds m_answerTimeout;
    std::unique_ptr<Worker> m_worker;

    QString legacyPath(const KeychainItemQuery& query) const;
};

} // namespace hf
