#pragma once

// Secrets for browser sign-ins: secure random bytes, base64url text and the S256 proof key.

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace hf::oauth {

// `count` bytes from the operating system's secure random source (getrandom); none when that
// source fails. There is deliberately no weaker fallback.
std::optional<QByteArray> secureRandomBytes(qsizetype count);

// Replaces the random source, for tests of the failure path; an empty function restores the
// system source.
void setRandomSourceForTesting(std::function<std::optional<QByteArray>(qsizetype)> source);

// Base64url without padding ("+" as "-", "/" as "_", no "=").
QString base64UrlNoPadding(const QByteArray& bytes);

// The S256 challenge of a verifier: base64url of the SHA-256 of its UTF-8 bytes.
QString s256Challenge(const QString& verifier);

struct ProofKey {
    QString verifier;
    QString challenge;
    bool operator==(const ProofKey&) const = default;
};

// A verifier from 32 secure random bytes (43 characters) and its challenge; none when the random
// source fails.
std::optional<ProofKey> makeProofKey();

} // namespace hf::oauth
