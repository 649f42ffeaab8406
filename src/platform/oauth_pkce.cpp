#include "platform/oauth_pkce.h"

#include <QCryptographicHash>

#include <cerrno>
#include <sys/random.h>

namespace hf::oauth {

namespace {

std::function<std::optional<QByteArray>(qsizetype)>& testSource()
{
    static std::function<std::optional<QByteArray>(qsizetype)> source;
    return source;
}

std::optional<QByteArray> systemRandomBytes(qsizetype count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < count) {
        const ssize_t got = ::getrandom(bytes.data() + filled, size_t(count - filled), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        filled += got;
    }
    return bytes;
}

} // namespace

std::optional<QByteArray> secureRandomBytes(qsizetype count)
{
    if (const auto& source = testSource()) {
        auto bytes = source(count);
        if (bytes && bytes->size() != count)
            return std::nullopt;
        return bytes;
    }
    return systemRandomBytes(count);
}

void setRandomSourceForTesting(std::function<std::optional<QByteArray>(qsizetype)> source)
{
    testSource() = std::move(source);
}

QString base64UrlNoPadding(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString s256Challenge(const QString& verifier)
{
    return base64UrlNoPadding(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

std::optional<ProofKey> makeProofKey()
{
    const auto bytes = secureRandomBytes(32);
    if (!bytes)
        return std::nullopt;
    ProofKey key;
    key.verifier = base64UrlNoPadding(*bytes);
    key.challenge = s256Challenge(key.verifier);
    return key;
}

} // namespace hf::oauth
