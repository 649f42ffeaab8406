#pragma once

// The keychain seam under the session token store. The store's algorithm speaks in the keychain
// statuses below and in two keychain forms; a backend carries the calls out. Tests use a fake
// backend that records every call.

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
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
// then holds it as newer than the store's copy: readWithFallback reads it first, while it is there.
// Once the store takes a later save, the legacy form's item goes. The legacy form's earlier item is
// replaced only once the new one is written. `status` is the secret store's answer; `kept` whether
// either form holds the data now.
struct KeychainSave {
    int status = KeychainStatus::success;
    bool kept = true;
};
KeychainSave saveWithFallback(KeychainBackend& backend, const QString& service, const QString& account,
                              const QByteArray& data);

// The newest data saveWithFallback kept for the item that `usable` accepts, or nothing after
// removeWithFallback. The secret store is asked only when the legacy form holds no newer data. A
// legacy item as earlier versions wrote it (the data alone, not known to be newer) is read after
// the secret store's, as they read it.
std::optional<QByteArray> readWithFallback(KeychainBackend& backend, const QString& service, const QString& account,
                                           const std::function<bool(const QByteArray&)>& usable);

// Removes the item from both forms. Until the secret store has confirmed that its copy is gone, a
// mark in the legacy form's place says the item was removed, so that no later read finds the
// store's copy, whenever the store answers and whenever the process ends; the next save replaces
// the mark.
void removeWithFallback(KeychainBackend& backend, const QString& service, const QString& account);

// The desktop's keychain. The data-protection form goes to the freedesktop Secret Service
// (GNOME Keyring, KWallet, KeePassXC, ...) through QtKeychain; when no such service answers, its
// calls report missingEntitlement so that the store falls back to the legacy form: one file per
// item under `legacyFolder`, readable by the user only (mode 0600 in a 0700 folder).
// Calls block the caller; the Secret Service is spoken to on one worker thread that every keychain
// in the process shares, made on first use and ended with the application object (QtKeychain runs
// its jobs one at a time, from a queue of the process that lives on the thread that used it first).
// A call waits at most `answerTimeout` (the service may be showing its user a prompt) and then
// answers notAvailable; it answers so at once when the service goes away meanwhile (its name on the
// session bus loses its owner). The service's late answer is logged, and until it comes every call
// answers notAvailable at once. A write or a removal is confirmed by reading the item back: a prompt
// the user dismissed can report success while nothing was stored, and then the write answers
// userCanceled. A file of the legacy form is replaced in one step: written beside it, flushed to
// the disk, then renamed over it.
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
    QString m_legacyFolder;
    std::chrono::milliseconds m_answerTimeout;

    QString legacyPath(const KeychainItemQuery& query) const;
};

} // namespace hf
