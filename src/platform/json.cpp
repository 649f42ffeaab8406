#include "platform/json.h"

#include "platform/iso8601.h"

#include <QSet>

#include <cmath>
#include <limits>

namespace hf {

QString DecodingError::localizedDescription() const
{
    if (m_path.isEmpty())
        return m_message;
    return QStringLiteral("%1 (at %2)").arg(m_message, m_path);
}

DecodingError DecodingError::under(const QString& outerPath) const
{
    return DecodingError(m_kind, json::joinPath(outerPath, m_path), m_message);
}

namespace json {

QString joinPath(const QString& path, const QString& key)
{
    if (path.isEmpty())
        return key;
    if (key.isEmpty())
        return path;
    if (key.startsWith(u'['))
        return path + key;
    return path + u'.' + key;
}

QString joinPath(const QString& path, qsizetype index)
{
    return path + QStringLiteral("[%1]").arg(index);
}

QString jsonTypeName(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return QStringLiteral("a Boolean");
    case QJsonValue::Double: return QStringLiteral("a number");
    case QJsonValue::String: return QStringLiteral("a string");
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Undefined: break;
    }
    return QStringLiteral("nothing");
}

void throwTypeMismatch(const QString& path, const char* expected, const QJsonValue& got)
{
    throw DecodingError(DecodingError::Kind::typeMismatch, path,
                        QStringLiteral("Expected %1 but found %2")
                            .arg(QString::fromUtf8(expected), jsonTypeName(got)));
}

QString Coding<QString>::decode(const QJsonValue& v, const QString& path)
{
    if (!v.isString())
        throwTypeMismatch(path, "a string", v);
    return v.toString();
}

double Coding<double>::decode(const QJsonValue& v, const QString& path)
{
    if (!v.isDouble())
        throwTypeMismatch(path, "a number", v);
    return v.toDouble();
}

qint64 Coding<qint64>::decode(const QJsonValue& v, const QString& path)
{
    if (!v.isDouble())
        throwTypeMismatch(path, "an integer", v);
    const double x = v.toDouble();
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (std::trunc(x) != x || x >= limit || x < -limit)
        throw DecodingError(DecodingError::Kind::dataCorrupted, path,
                            QStringLiteral("Number %1 is not a 64-bit integer").arg(x));
    return static_cast<qint64>(x);
}

int Coding<int>::decode(const QJsonValue& v, const QString& path)
{
    const qint64 n = Coding<qint64>::decode(v, path);
    if (n > std::numeric_limits<int>::max() || n < std::numeric_limits<int>::min())
        throw DecodingError(DecodingError::Kind::dataCorrupted, path,
                            QStringLiteral("Number %1 does not fit").arg(n));
    return static_cast<int>(n);
}

bool Coding<bool>::decode(const QJsonValue& v, const QString& path)
{
    if (!v.isBool())
        throwTypeMismatch(path, "a Boolean", v);
    return v.toBool();
}

QDateTime Coding<QDateTime>::decode(const QJsonValue& v, const QString& path)
{
    const QString s = Coding<QString>::decode(v, path);
    try {
        return iso8601::parseOrThrow(s);
    } catch (const DecodingError& e) {
        throw e.under(path);
    }
}

QJsonValue Coding<QDateTime>::encode(const QDateTime& d)
{
    return iso8601::format(d);
}

QUrl Coding<QUrl>::decode(const QJsonValue& v, const QString& path)
{
    const QString s = Coding<QString>::decode(v, path);
    QUrl url(s, QUrl::StrictMode);
    if (s.isEmpty() || !url.isValid() || url.isRelative())
        throw DecodingError(DecodingError::Kind::dataCorrupted, path,
                            QStringLiteral("Invalid URL string: ") + s);
    return url;
}

QMap<QString, QString> Coding<QMap<QString, QString>>::decode(const QJsonValue& v, const QString& path)
{
    if (!v.isObject())
        throwTypeMismatch(path, "an object", v);
    const QJsonObject object = v.toObject();
    QMap<QString, QString> out;
    for (auto it = object.begin(); it != object.end(); ++it)
        out.insert(it.key(), Coding<QString>::decode(it.value(), joinPath(path, it.key())));
    return out;
}

QJsonValue Coding<QMap<QString, QString>>::encode(const QMap<QString, QString>& map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

namespace {

// The first key that one object of `json` (valid JSON) names twice; none when there is none. The
// parser keeps only one of the two values, so a document that repeats a key says two things.
std::optional<QString> repeatedKey(const QByteArray& json)
{
    struct Level {
        bool object = false;
        bool expectsKey = false;
        QSet<QString> keys;
    };
    std::vector<Level> levels;
    const qsizetype n = json.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = json[i];
        if (c == '{' || c == '[') {
            levels.push_back(Level{c == '{', c == '{', {}});
        } else if (c == '}' || c == ']') {
            if (!levels.empty())
                levels.pop_back();
        } else if (c == ',') {
            if (!levels.empty() && levels.back().object)
                levels.back().expectsKey = true;
        } else if (c == '"') {
            const qsizetype start = i;
            bool escaped = false;
            for (++i; i < n && json[i] != '"'; ++i) {
                if (json[i] == '\\') {
                    escaped = true;
                    ++i;
                }
            }
            if (levels.empty() || !levels.back().expectsKey)
                continue;
            const QByteArray raw = json.mid(start, i - start + 1);
            // An escaped key is read by the parser: an escaped spelling of a key is the same key.
            const QString key = escaped ? QJsonDocument::fromJson("[" + raw + "]").array().at(0).toString()
                                        : QString::fromUtf8(raw.mid(1, raw.size() - 2));
            Level& level = levels.back();
            level.expectsKey = false;
            if (level.keys.contains(key))
                return key;
            level.keys.insert(key);
        }
    }
    return std::nullopt;
}

} // namespace

QJsonValue parseDocument(const QByteArray& body)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(DecodingError::Kind::dataCorrupted, QString(),
                            QStringLiteral("The data is not valid JSON: ") + error.errorString());
    if (const auto key = repeatedKey(body))
        throw DecodingError(DecodingError::Kind::dataCorrupted, QString(),
                            QStringLiteral("The data names the key \"%1\" twice in one object.").arg(key->left(64)));
    if (doc.isArray())
        return doc.array();
    return doc.object();
}

} // namespace json
} // namespace hf
