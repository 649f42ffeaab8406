#pragma once

#include "platform/keychain.h"

#include <QString>

#include <memory>
#include <optional>

namespace hf {

// Keeps the backend session's bearer token. One store per process, shared by reference between
// the backend client and the account state; used on the main thread only. The store never looks
// inside the token.
class SessionTokenStore {
public:
    virtual ~SessionTokenStore() = default;
    virtual std::optional<QString> token() = 0;
    // Stores the token. Never fails towards the caller.
    virtual void save(const QString& token) = 0;
    // Forgets the token. Never fails.
    virtual void clear() = 0;
};

// Keeps the token for the life of the object only.
class InMemoryTokenStore final : public SessionTokenStore {
public:
    std::optional<QString> token() override { return m_token; }
    void save(const QString& token) override { m_token = token; }
    void clear() override { m_token.reset(); }

private:
    std::optional<QString> m_token;
};

// Keeps the token in the keychain item (service, account), read at most once per instance and
// cached: a token written by another process after a failed first read stays unseen until `save`.
// Writes go to the data-protection form first and fall back to the legacy form when that form does
// not take the token, which then reads first; a failed write is logged and the token still serves
// from the cache. `clear` leaves nothing a later read finds, whenever the keychain answers.
class KeychainTokenStore final : public SessionTokenStore {
public:
    KeychainTokenStore(QString service, QString account, std::shared_ptr<KeychainBackend> backend);

    std::optional<QString> token() override;
    void save(const QString& token) override;
    void clear() override;

    const QString& service() const { return m_service; }
    const QString& account() const { return m_account; }

private:
    QString m_service;
    QString m_account;
    std::optional<QString> m_cached;
    bool m_didLoad = false;
    std::shared_ptr<KeychainBackend> m_backend;
};

} // namespace hf
