#pragma once

#include <QHash>
#include <QLocale>
#include <QString>

#include <concepts>
#include <initializer_list>

namespace hf {

// The string tables of user-visible texts. Most texts live in the main table; a few belong
// to the table "Direct".
enum class TextTable { Main, Direct };

// One argument of a localized text: "%@" takes its string form, "%lld"/"%ld"/"%d" an integer,
// "%f" a number.
class TextArg {
public:
    TextArg(const QString& s) : m_value(s) {}
    TextArg(const char* s) : m_value(QString::fromUtf8(s)) {}
    template<std::integral I>
    TextArg(I n) : m_value(QString::number(static_cast<qlonglong>(n))) {}
    template<std::floating_point F>
    TextArg(F x) : m_value(QString::number(static_cast<double>(x), 'f', 6)) {}
    const QString& value() const { return m_value; }

private:
    QString m_value;
};

// Fills the placeholders "%@", "%lld", "%ld", "%d" and "%f" of `format` with `args`, in order;
// "%%" stands for a percent sign. Missing arguments leave their placeholder empty; extra
// arguments are ignored.
QString fillText(const QString& format, std::initializer_list<TextArg> args);

// Looks a text up by its dotted key in the current locale's table; the English default is the
// text as written in the code and is what an untranslated key shows.
QString text(const char* key, const char* english, TextTable table = TextTable::Main);

// The same, with the placeholders filled in order.
QString text(const char* key, const char* english, std::initializer_list<TextArg> args,
             TextTable table = TextTable::Main);

// A text that depends on a count: looked up by its key and the plural form the current language
// gives `count` ("one", "few", "many", "other"...). A table's entry for the key is either one text
// for every count or an object of texts by form; the English defaults are `englishOne` for a
// count of 1 and `englishOther` for any other. The placeholders are filled with `args`, which
// usually hold the count itself.
QString pluralText(const char* key, const char* englishOne, const char* englishOther, qint64 count,
                   std::initializer_list<TextArg> args, TextTable table = TextTable::Main);

// The plural form of `count` in `language`, by the rules for whole numbers: "one", "few", "many"
// or "other".
QLatin1StringView pluralForm(QLocale::Language language, qint64 count);

// The translation catalogue behind text(). Empty until translations are installed, so every
// lookup yields its English default.
class TextCatalog {
public:
    // `language` chooses the plural forms (see pluralText()).
    static void install(TextTable table, QHash<QString, QString> translations,
                        QLocale::Language language = QLocale::English);
    // Loads ":/texts/<language>/Localizable.json" and ":/texts/<language>/Direct.json" when
    // they exist (objects of key to text, or to an object of texts by plural form); clears the
    // catalogue otherwise.
    static void load(const QLocale& locale);
    static void clear();
};

} // namespace hf
