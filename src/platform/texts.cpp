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

QLocale::Language& catalogLanguage()
{
    static QLocale::Language language = QLocale::English;
    return language;
}

// Where a table keeps one plural form of a key's text.
QString formKey(QLatin1StringView key, QLatin1StringView form)
{
    return key + u'#' + form;
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
        const QJsonObject forms = it.value().toObject();
        for (auto form = forms.begin(); form != forms.end(); ++form)
            if (form.value().isString())
                out.insert(it.key() + u'#' + form.key(), form.value().toString());
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

QLatin1StringView pluralForm(QLocale::Language language, qint64 count)
{
    const qint64 n = count < 0 ? -count : count;
    const qint64 ten = n % 10, hundred = n % 100;
    const bool fewEnding = ten >= 2 && ten <= 4 && !(hundred >= 12 && hundred <= 14);
    switch (language) {
    case QLocale::Japanese: case QLocale::Chinese: case QLocale::Korean: case QLocale::Vietnamese:
    case QLocale::Thai: case QLocale::Indonesian: case QLocale::Malay:
        return QLatin1StringView("other");
    case QLocale::French: case QLocale::Portuguese:
        return QLatin1StringView(n <= 1 ? "one" : "other");
    case QLocale::Russian: case QLocale::Ukrainian: case QLocale::Belarusian:
        if (ten == 1 && hundred != 11)
            return QLatin1StringView("one");
        return QLatin1StringView(fewEnding ? "few" : "many");
    case QLocale::Polish:
        if (n == 1)
            return QLatin1StringView("one");
        return QLatin1StringView(fewEnding ? "few" : "many");
    case QLocale::Czech: case QLocale::Slovak:
        if (n == 1)
            return QLatin1StringView("one");
        return QLatin1StringView(n >= 2 && n <= 4 ? "few" : "other");
    default:
        return QLatin1StringView(n == 1 ? "one" : "other");
    }
}

QString pluralText(const char* key, const char* englishOne, const char* englishOther, qint64 count,
                   std::initializer_list<TextArg> args, TextTable table)
{
    const auto& translations = tableFor(table);
    const QLatin1StringView name(key);
    for (const QString& candidate : {formKey(name, pluralForm(catalogLanguage(), count)),
                                     formKey(name, QLatin1StringView("other")), QString(name)}) {
        auto it = translations.constFind(candidate);
        if (it != translations.constEnd())
            return fillText(*it, args);
    }
    return fillText(QString::fromUtf8(count == 1 ? englishOne : englishOther), args);
}

void TextCatalog::install(TextTable table, QHash<QString, QString> translations, QLocale::Language language)
{
    tableFor(table) = std::move(translations);
    catalogLanguage() = language;
}

void TextCatalog::load(const QLocale& locale)
{
    const QString language = QLocale::languageToCode(locale.language());
    install(TextTable::Main, readTable(QStringLiteral(":/texts/%1/Localizable.json").arg(language)), locale.language());
    install(TextTable::Direct, readTable(QStringLiteral(":/texts/%1/Direct.json").arg(language)), locale.language());
}

void TextCatalog::clear()
{
    tables() = {};
    catalogLanguage() = QLocale::English;
}

} // namespace hf
