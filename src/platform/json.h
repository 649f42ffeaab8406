#pragma once

// JSON coding of plain records. A record is one JSON object whose keys equal its field names.
// Decoding: a required field must be present, not null and of its JSON type, or the record fails
// with a DecodingError naming the key path; an optional field may be absent or null (both give
// none). Encoding: required fields are always written; an optional field that holds none is left
// out (null is never written).
//
// A record type R takes part by providing
//     static R fromJson(const hf::json::ObjectReader& in);
//     void toJson(hf::json::ObjectWriter& out) const;     // for encodable records
// An enumeration E takes part by specialising hf::json::EnumCoding<E> (see below).

#include "platform/errors.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QUrl>

#include <array>
#include <concepts>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace hf {

// A JSON value that does not fit the record it should build. The description is the message
// followed by the key path where it went wrong.
class DecodingError : public Error {
public:
    enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

    DecodingError(Kind kind, QString path, QString message)
        : m_kind(kind), m_path(std::move(path)), m_message(std::move(message)) {}

    Kind kind() const { return m_kind; }
    const QString& path() const { return m_path; }
    const QString& message() const { return m_message; }
    QString localizedDescription() const override;

    // The same error seen from one level further out (a record inside a record).
    DecodingError under(const QString& outerPath) const;

private:
    Kind m_kind;
    QString m_path;
    QString m_message;
};

namespace json {

class ObjectReader;
class ObjectWriter;

template<class T>
concept DecodableRecord = requires(const ObjectReader& in) {
    { T::fromJson(in) } -> std::same_as<T>;
};
template<class T>
concept EncodableRecord = requires(const T& value, ObjectWriter& out) { value.toJson(out); };

// Raw strings of an enumeration. Specialise with
//   template<> struct hf::json::EnumCoding<JobStatus> {
//       static constexpr std::array values{std::pair{JobStatus::queued, "queued"}, ...};
//       static constexpr std::optional<JobStatus> fallback = JobStatus::unknown; // or std::nullopt
//   };
// An unrecognised string decodes as `fallback`, or fails the record when there is none.
template<class E>
struct EnumCoding;

template<class E>
concept CodedEnum = std::is_enum_v<E> && requires { EnumCoding<E>::values; EnumCoding<E>::fallback; };

template<CodedEnum E>
QString rawValue(E value)
{
    for (const auto& [e, raw] : EnumCoding<E>::values)
        if (e == value)
            return QString::fromUtf8(raw);
    return {};
}

template<CodedEnum E>
std::optional<E> fromRawValue(QStringView raw)
{
    for (const auto& [e, r] : EnumCoding<E>::values)
        if (raw == QLatin1StringView(r))
            return e;
    return std::nullopt;
}

QString joinPath(const QString& path, const QString& key);
QString joinPath(const QString& path, qsizetype index);
QString jsonTypeName(const QJsonValue& value);
[[noreturn]] void throwTypeMismatch(const QString& path, const char* expected, const QJsonValue& got);

// Coding of one value type. Specialised below for strings, numbers, Booleans, dates, URLs,
// string maps, arrays, coded enumerations and records.
template<class T>
struct Coding;

template<>
struct Coding<QString> {
    static QString decode(const QJsonValue& v, const QString& path);
    static QJsonValue encode(const QString& s) { return s; }
};
template<>
struct Coding<double> {
    static double decode(const QJsonValue& v, const QString& path);
    static QJsonValue encode(double x) { return x; }
};
template<>
struct Coding<qint64> {
    static qint64 decode(const QJsonValue& v, const QString& path);
    static QJsonValue encode(qint64 n) { return n; }
};
template<>
struct Coding<int> {
    static int decode(const QJsonValue& v, const QString& path);
    static QJsonValue encode(int n) { return n; }
};
template<>
struct Coding<bool> {
    static bool decode(const QJsonValue& v, const QString& path);
    static QJsonValue encode(bool b) { return b; }
};
// ISO 8601 strings, through hf::iso8601.
template<>
struct Coding<QDateTime> {
    static QDateTime decode(const QJsonValue& v, const QString& path);
    static QJsonValue encode(const QDateTime& d);
};
// A URL string must parse as an absolute URL.
template<>
struct Coding<QUrl> {
    static QUrl decode(const QJsonValue& v, const QString& path);
    static QJsonValue encode(const QUrl& u) { return u.toString(QUrl::FullyEncoded); }
};
template<>
struct Coding<QMap<QString, QString>> {
    static QMap<QString, QString> decode(const QJsonValue& v, const QString& path);
    static QJsonValue encode(const QMap<QString, QString>& map);
};
template<class T>
struct Coding<std::vector<T>> {
    static std::vector<T> decode(const QJsonValue& v, const QString& path)
    {
        if (!v.isArray())
            throwTypeMismatch(path, "an array", v);
        const QJsonArray array = v.toArray();
        std::vector<T> out;
        out.reserve(static_cast<size_t>(array.size()));
        for (qsizetype i = 0; i < array.size(); ++i)
            out.push_back(Coding<T>::decode(array.at(i), joinPath(path, i)));
        return out;
    }
    static QJsonValue encode(const std::vector<T>& values)
    {
        QJsonArray array;
        for (const auto& value : values)
            array.append(Coding<T>::encode(value));
        return array;
    }
};
template<CodedEnum E>
struct Coding<E> {
    static E decode(const QJsonValue& v, const QString& path)
    {
        const QString raw = Coding<QString>::decode(v, path);
        if (auto e = fromRawValue<E>(raw))
            return *e;
        if (EnumCoding<E>::fallback)
            return *EnumCoding<E>::fallback;
        throw DecodingError(DecodingError::Kind::dataCorrupted, path,
                            QStringLiteral("Unknown value \"%1\"").arg(raw));
    }
    static QJsonValue encode(E e) { return rawValue(e); }
};

class ObjectReader {
public:
    explicit ObjectReader(QJsonObject object, QString path = {})
        : m_object(std::move(object)), m_path(std::move(path)) {}

    const QJsonObject& object() const { return m_object; }
    const QString& path() const { return m_path; }

    // Present and not null.
    bool has(const QString& key) const
    {
        auto it = m_object.constFind(key);
        return it != m_object.constEnd() && !it->isNull() && !it->isUndefined();
    }

    template<class T>
    T required(const QString& key) const
    {
        const QString at = joinPath(m_path, key);
        auto it = m_object.constFind(key);
        if (it == m_object.constEnd())
            throw DecodingError(DecodingError::Kind::keyNotFound, at, QStringLiteral("Key not found"));
        if (it->isNull() || it->isUndefined())
            throw DecodingError(DecodingError::Kind::valueNotFound, at, QStringLiteral("Value is null"));
        return Coding<T>::decode(*it, at);
    }

    template<class T>
    std::optional<T> optional(const QString& key) const
    {
        if (!has(key))
            return std::nullopt;
        return Coding<T>::decode(m_object.value(key), joinPath(m_path, key));
    }

private:
    QJsonObject m_object;
    QString m_path;
};

class ObjectWriter {
public:
    template<class T>
    void put(const QString& key, const T& value)
    {
        m_object.insert(key, Coding<T>::encode(value));
    }
    template<class T>
    void put(const QString& key, const std::optional<T>& value)
    {
        if (value)
            m_object.insert(key, Coding<T>::encode(*value));
    }
    const QJsonObject& object() const { return m_object; }

private:
    QJsonObject m_object;
};

template<DecodableRecord R>
struct Coding<R> {
    static R decode(const QJsonValue& v, const QString& path)
    {
        if (!v.isObject())
            throwTypeMismatch(path, "an object", v);
        return R::fromJson(ObjectReader(v.toObject(), path));
    }
    static QJsonValue encode(const R& record)
        requires EncodableRecord<R>
    {
        ObjectWriter out;
        record.toJson(out);
        return out.object();
    }
};

// Encodable-only records (request bodies).
template<class R>
    requires(EncodableRecord<R> && !DecodableRecord<R>)
struct Coding<R> {
    static QJsonValue encode(const R& record)
    {
        ObjectWriter out;
        record.toJson(out);
        return out.object();
    }
};

template<class T>
T decode(const QJsonValue& value, const QString& path = {})
{
    return Coding<T>::decode(value, path);
}

template<class T>
QJsonValue encode(const T& value)
{
    return Coding<T>::encode(value);
}

// Parses a whole answer body; a body that is not JSON, or names one key twice in an object, fails
// as data corrupted.
QJsonValue parseDocument(const QByteArray& body);

template<class T>
T decodeDocument(const QByteArray& body)
{
    return Coding<T>::decode(parseDocument(body), QString());
}

template<class T>
QByteArray encodeDocument(const T& value)
{
    const QJsonValue v = Coding<T>::encode(value);
    const QJsonDocument doc = v.isArray() ? QJsonDocument(v.toArray()) : QJsonDocument(v.toObject());
    return doc.toJson(QJsonDocument::Compact);
}

} // namespace json
} // namespace hf
