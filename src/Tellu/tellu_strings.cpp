// The kit's texts. The English defaults are compiled in with the code that shows them; a
// translation table, when one is shipped, is a JSON object of key to text named
// "Tellu_Tellu/<language>/Localizable.json", looked for in the application's resources and then
// beside the program. Without one, or without an entry, the English default is shown: a missing
// table never stops the application.

#include "Tellu/tellu.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <mutex>

namespace {

QHash<QString, QString> loadTable()
{
    QStringList folders{QStringLiteral(":/Tellu_Tellu")};
    if (QCoreApplication::instance())
        folders << QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Tellu_Tellu"));
    // The locale's languages in order of preference ("de-CH", then "de").
    QStringList languages;
    for (QString language : QLocale().uiLanguages()) {
        language.replace(u'_', u'-');
        if (!languages.contains(language))
            languages << language;
        const QString base = language.section(u'-', 0, 0);
        if (!languages.contains(base))
            languages << base;
    }
    for (const QString& folder : folders) {
        for (const QString& language : languages) {
            QFile file(folder + u'/' + language + QStringLiteral("/Localizable.json"));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
            QHash<QString, QString> table;
            for (auto it = object.begin(); it != object.end(); ++it)
                if (it.value().isString())
                    table.insert(it.key(), it.value().toString());
            return table;
        }
    }
    return {};
}

const QHash<QString, QString>& table()
{
    // Looked for once, on first use, and kept for the life of the process.
    static std::once_flag once;
    static QHash<QString, QString> loaded;
    std::call_once(once, [] { loaded = loadTable(); });
    return loaded;
}

} // namespace

QString telluText(const char* key, const char* english)
{
    const auto& texts = table();
    const auto it = texts.constFind(QString::fromUtf8(key));
    return it != texts.constEnd() ? *it : QString::fromUtf8(english);
}

QString TelluStrings::defaultSurveyTitle()
{
    return telluText("tellu.survey.defaultTitle", "Quick Survey");
}

QString TelluStrings::textPlaceholder()
{
    return telluText("tellu.survey.text.placeholder", "Optional");
}

QString TelluStrings::serverError(qint64 status)
{
    QString format = telluText("tellu.error.server", "Server error (%lld). Please try again later.");
    return format.replace(QStringLiteral("%lld"), QString::number(status));
}

QString TelluStrings::sendError(const TelluError& error, const QString& encodingFailure)
{
    switch (error.kind()) {
    case TelluError::Kind::networkError:
        return telluText("tellu.error.network", "Network error. Please check your connection and try again.");
    case TelluError::Kind::badResponse:
        return serverError(error.status());
    case TelluError::Kind::encodingError:
        return encodingFailure;
    }
    return {};
}
