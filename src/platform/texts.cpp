#include "platform/texts.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>

namespace hf {
namespace {

std::array<QHash<QString, QString>, 2>& tables()
{
    static std::array<QHash<QString, QString>, 2> instance;
    return instance;
}

QHash<QString, QString>& tableFor(TextTable table)
{
    return tables()[table == TextTable::Main ? 0 : 1];
}

QHash<QString, QString> readTable(const QString& path)
{
    QHash<QString, QString> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return out;
    const auto object = QJsonDocument::fromJson(file.readAll()).object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.value().isString())
            out.insert(it.key(), it.value().toString());
    }
    return out;
}

} // namespace

QString fillText(const QString& format, std::initializer_list<TextArg> args)
{
    static const std::array<QLatin1StringView, 5> placeholders = {
        QLatin1StringView("%lld"), QLatin1StringView("%ld"), QLatin1StringView("%@"),
        QLatin1StringView("%d"), QLatin1StringView("%f")};
    QString out;
    out.reserve(format.size() + 16);
    auto next = args.begin();
    qsizetype i = 0;
    while (i < format.size()) {
        if (format[i] != u'%') {
            out.append(format[i++]);
            continue;
        }
        if (format.mid(i, 2) == u"%%") {
            out.append(u'%');
            i += 2;
            continue;
        }
        bool matched = false;
        for (const auto& p : placeholders) {
            if (QStringView(format).mid(i).startsWith(p)) {
                if (next != args.end())
                    out.append((next++)->value());
                i += p.size();
                matched = true;
                break;
            }
        }
        if (!matched)
            out.append(format[i++]);
    }
    return out;
}

QString text(const char* key, const char* english, TextTable table)
{
    const auto& translations = tableFor(table);
    if (!translations.isEmpty()) {
        auto it = translations.constFind(QLatin1StringView(key));
        if (it != translations.constEnd())
            return *it;
    }
    return QString::fromUtf8(english);
}

QString text(const char* key, const char* english, std::initializer_list<TextArg> args,
             TextTable table)
{
    return fillText(text(key, english, table), args);
}

void TextCatalog::install(TextTable table, QHash<QString, QString> translations)
{
    tableFor(table) = std::move(translations);
}

void TextCatalog::load(const QLocale& locale)
{
    const QString language = QLocale::languageToCode(locale.language());
    install(TextTable::Main, readTable(QStringLiteral(":/texts/%1/Localizable.json").arg(language)));
    install(TextTable::Direct, readTable(QStringLiteral(":/texts/%1/Direct.json").arg(language)));
}

void TextCatalog::clear()
{
    tables() = {};
}

} // namespace hf
