#pragma once

#include <QJsonObject>
#include <QMap>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

namespace hf {

// The persisted user settings ("user defaults"). Every value is written when it changes; nothing
// is saved at quit. Structured values are stored as JSON strings under their keys.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual QVariant value(const QString& key) const = 0;
    virtual void setValue(const QString& key, const QVariant& value) = 0;
    virtual void remove(const QString& key) = 0;
    virtual bool contains(const QString& key) const = 0;

    std::optional<QString> string(const QString& key) const;
    std::optional<qint64> integer(const QString& key) const;
    std::optional<double> number(const QString& key) const;
    std::optional<bool> boolean(const QString& key) const;

    // A structured value stored as a JSON string; none when absent or not a JSON object/array.
    std::optional<QJsonValue> json(const QString& key) const;
    void setJson(const QString& key, const QJsonValue& value);
};

// The store on disk, through QSettings. The default constructor uses the application's own
// settings file; tests pass a path in a temporary folder.
class QSettingsStore final : public SettingsStore {
public:
    QSettingsStore();
    explicit QSettingsStore(const QString& iniPath);

    QVariant value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    void remove(const QString& key) override;
    bool contains(const QString& key) const override;

private:
    std::unique_ptr<QSettings> m_settings;
};

// A store that lives in memory only, for tests and previews.
class MemorySettingsStore final : public SettingsStore {
public:
    QVariant value(const QString& key) const override { return m_values.value(key); }
    void setValue(const QString& key, const QVariant& value) override { m_values.insert(key, value); }
    void remove(const QString& key) override { m_values.remove(key); }
    bool contains(const QString& key) const override { return m_values.contains(key); }

private:
    QMap<QString, QVariant> m_values;
};

} // namespace hf
