#include "pipeline/separation_settings.h"

#include "platform/settings_store.h"

#include <QJsonDocument>

namespace hf {

SeparationSettings SeparationSettings::fromJson(const json::ObjectReader& in)
{
    SeparationSettings s;
    if (auto v = in.optional<double>(QStringLiteral("ambience")))
        s.ambience = *v;
    if (auto v = in.optional<AudioQuality>(QStringLiteral("audioQuality")))
        s.audioQuality = *v;
    if (auto v = in.optional<bool>(QStringLiteral("checkSongsAutomatically")))
        s.checkSongsAutomatically = *v;
    return s;
}

void SeparationSettings::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("ambience"), ambience);
    out.put(QStringLiteral("audioQuality"), audioQuality);
    out.put(QStringLiteral("checkSongsAutomatically"), checkSongsAutomatically);
}

SeparationSettings SeparationSettings::load(const SettingsStore& store)
{
    const auto stored = store.string(QString::fromLatin1(storageKey));
    if (!stored)
        return {};
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(stored->toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return {};
    try {
        return fromJson(json::ObjectReader(doc.object()));
    } catch (const DecodingError&) {
        return {};
    }
}

void SeparationSettings::save(SettingsStore& store) const
{
    json::ObjectWriter out;
    toJson(out);
    store.setValue(QString::fromLatin1(storageKey),
                   QString::fromUtf8(QJsonDocument(out.object()).toJson(QJsonDocument::Compact)));
}

} // namespace hf
