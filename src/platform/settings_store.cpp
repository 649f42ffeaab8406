#include "platform/settings_store.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace hf {

SettingsStore::SettingsStore() : m_notifier(std::make_unique<SettingsStoreNotifier>()) {}

SettingsStore::SettingsStore(const SettingsStore&) : SettingsStore() {}

SettingsStore::~SettingsStore() = default;

void SettingsStore::setValue(const QString& key, const QVariant& value)
{
    write(key, value);
    Q_EMIT m_notifier->changed(key);
}

void SettingsStore::remove(const QString& key)
{
    erase(key);
    Q_EMIT m_notifier->changed(key);
}

QMetaObject::Connection SettingsStore::observe(const QString& key, const QObject* context,
                                               std::function<void()> onChange)
{
    return QObject::connect(m_notifier.get(), &SettingsStoreNotifier::changed, context,
                            [key, onChange = std::move(onChange)](const QString& written) {
                                if (written == key)
                                    onChange();
                            });
}

std::optional<QString> SettingsStore::string(const QString& key) const
{
    const QVariant v = value(key);
    if (!v.isValid() || v.isNull())
        return std::nullopt;
    return v.toString();
}

std::optional<qint64> SettingsStore::integer(const QString& key) const
{
    const QVariant v = value(key);
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    return ok ? std::optional<qint64>(n) : std::nullopt;
}

std::optional<double> SettingsStore::number(const QString& key) const
{
    const QVariant v = value(key);
    bool ok = false;
    const double x = v.toDouble(&ok);
    return ok ? std::optional<double>(x) : std::nullopt;
}

std::optional<bool> SettingsStore::boolean(const QString& key) const
{
    const QVariant v = value(key);
    if (!v.isValid() || v.isNull())
        return std::nullopt;
    // QSettings gives back "true"/"false" strings from its file; accept both forms.
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString();
        if (s == u"true" || s == u"1")
            return true;
        if (s == u"false" || s == u"0")
            return false;
        return std::nullopt;
    }
    return v.toBool();
}

std::optional<QJsonValue> SettingsStore::json(const QString& key) const
{
    const auto s = string(key);
    if (!s)
        return std::nullopt;
    QJsonParseError error{};
    const auto doc = QJsonDocument::fromJson(s->toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    if (doc.isObject())
        return QJsonValue(doc.object());
    if (doc.isArray())
        return QJsonValue(doc.array());
    return std::nullopt;
}

void SettingsStore::setJson(const QString& key, const QJsonValue& value)
{
    QJsonDocument doc = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    setValue(key, QString::fromUtf8(doc.toJson(QJsonDocument::Compact)));
}

QSettingsStore::QSettingsStore() : m_settings(std::make_unique<QSettings>()) {}

QSettingsStore::QSettingsStore(const QString& iniPath)
    : m_settings(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
}

QVariant QSettingsStore::value(const QString& key) const
{
    return m_settings->value(key);
}

void QSettingsStore::write(const QString& key, const QVariant& value)
{
    m_settings->setValue(key, value);
    m_settings->sync();
}

void QSettingsStore::erase(const QString& key)
{
    m_settings->remove(key);
    m_settings->sync();
}

bool QSettingsStore::contains(const QString& key) const
{
    return m_settings->contains(key);
}

} // namespace hf
