#include "backend/session_token_store.h"

#include "platform/logging.h"

#include <QStringDecoder>

namespace hf {

HF_LOGGING_CATEGORY(lcSessionTokenStore, "SessionTokenStore")

namespace {

std::optional<QString> decodeUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

KeychainTokenStore::KeychainTokenStore(QString service, QString account, std::shared_ptr<KeychainBackend> backend)
    : m_service(std::move(service)), m_account(std::move(account)), m_backend(std::move(backend))
{
}

std::optional<QString> KeychainTokenStore::token()
{
    if (m_didLoad)
        return m_cached;
    const auto read = readWithFallback(*m_backend, m_service, m_account,
                                       [](const QByteArray& bytes) { return decodeUtf8(bytes).has_value(); });
    m_cached = read ? decodeUtf8(*read) : std::nullopt;
    m_didLoad = true;
    return m_cached;
}

void KeychainTokenStore::save(const QString& token)
{
    m_cached = token;
    m_didLoad = true;
    // Where the secret store did not take the token, the legacy form keeps it where the next start
    // looks first.
    const KeychainSave saved = saveWithFallback(*m_backend, m_service, m_account, token.toUtf8());
    if (!saved.kept)
        qCCritical(lcSessionTokenStore, "Keychain save failed with status %d", saved.status);
    else if (saved.status != KeychainStatus::success && saved.status != KeychainStatus::missingEntitlement)
        qCWarning(lcSessionTokenStore, "The keychain did not take the token (status %d); it is kept in the legacy form",
                  saved.status);
}

void KeychainTokenStore::clear()
{
    m_cached.reset();
    m_didLoad = true;
    removeWithFallback(*m_backend, m_service, m_account);
}

} // namespace hf
