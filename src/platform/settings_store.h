#pragma once

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

namespace hf {

// Announces the keys written through one store.
class SettingsStoreNotifier : public QObject {
    Q_OBJECT
Q_SIGNALS:
    void changed(const QString& key);
};

// The persisted user settings ("user defaults"). Every value is written when it changes; nothing
// is saved at quit. Structured values are stored as JSON strings under their keys.
//
// Anything showing a value that others may write too observes it instead of keeping a copy:
//     store.observe(key, this, [this] { refresh(); });
class SettingsStore {
public:
    SettingsStore();
    virtual ~SettingsStore();
    // A copy has no observers; an assigned store keeps its own.
    SettingsStore(const SettingsStore&);
    SettingsStore& operator=(const SettingsStore&) { return *this; }

    virtual QVariant value(const QString& key) const = 0;
    // Both announce the key to its observers once written.
    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);
    virtual bool contains(const QString& key) const = 0;

    // Runs `onChange` after every write or removal of `key` through this store (the same value
    // written again included), in `context`'s thread, until `context` is destroyed.
    QMetaObject::Connection observe(const QString& key, const QObject* context, std::function<void()> onChange);

    std::optional<QString> string(const QString& key) const;
    std::optional<qint64> integer(const QString& key) const;
    std::optional<double> number(const QString& key) const;
    std::optional<bool> boolean(const QString& key) const;

    // A structured value stored as a JSON string; none when absent or not a JSON object/array.
    std::optional<QJsonValue> json(const QString& key) const;
    void setJson(const QString& key, const QJsonValue& value);

protected:
    virtual void write(const QString& key, const QVariant& value) = 0;
    virtual void erase(const QString& key) = 0;

private:
    std::unique_ptr<SettingsStoreNotifier> m_notifier;
};

// The store on disk, through QSettings. The default constructor uses the application's own
// settings file; tests pass a path in a temporary folder.
class QSettingsStore final : public SettingsStore {
public:
    QSettingsStore();
    explicit QSettingsStore(const QString& iniPath);

    QVariant value(const QString& key) const override;
    bool contains(const QString& key) const override;

protected:
    void write(const QString& key, const QVariant& value) override;
    void erase(const QString& key) override;

private:
    std::unique_ptr<QSettings> m_settings;
};

// A store that lives in memory only, for tests and previews.
class MemorySettingsStore final : public SettingsStore {
public:
    QVariant value(const QString& key) const override { return m_values.value(key); }
    bool contains(const QString& key) const override { return m_values.contains(key); }

protected:
    void write(const QString& key, const QVariant& value) override { m_values.insert(key, value); }
    void erase(const QString& key) override { m_values.remove(key); }

private:
    QMap<QString, QVariant> m_values;
};

} // namespace hf
