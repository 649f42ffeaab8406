#include "Tellu/tellu.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QSysInfo>

namespace {

constexpr int kTimeoutMs = 60000;

// A JSON string literal, quotes included.
QByteArray jsonString(const QString& value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QString isoTimestamp(const QDateTime& time)
{
    // Whole seconds in UTC, ending in "Z".
    return time.toUTC().toString(Qt::ISODate);
}

// The operating system's name as os-release gives it, else the kernel's.
QString systemName()
{
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.startsWith(u"NAME=")) {
                QString value = line.mid(5);
                if (value.size() >= 2 && (value.startsWith(u'"') || value.startsWith(u'\'')))
                    value = value.mid(1, value.size() - 2);
                if (!value.isEmpty())
                    return value;
            }
        }
    }
    const QString kernel = QSysInfo::kernelType();
    return kernel == u"linux" ? QStringLiteral("Linux") : kernel;
}

// Runs `fn` from the event loop, so that a completion never runs inside the call that started it.
void later(std::function<void()> fn)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(fn), Qt::QueuedConnection);
}

QNetworkAccessManager* sharedSession()
{
    // Parented to the application so that it goes before the application does.
    static QPointer<QNetworkAccessManager> session;
    if (!session)
        session = new QNetworkAccessManager(QCoreApplication::instance());
    return session;
}

} // namespace

// ---- categories

QString TelluCategories::rawValue(TelluCategory category)
{
    switch (category) {
    case TelluCategory::general: return QStringLiteral("general");
    case TelluCategory::bug: return QStringLiteral("bug");
    case TelluCategory::featureRequest: return QStringLiteral("featureRequest");
    case TelluCategory::other: return QStringLiteral("other");
    }
    return {};
}

std::optional<TelluCategory> TelluCategories::fromRawValue(const QString& raw)
{
    for (TelluCategory category : all)
        if (rawValue(category) == raw)
            return category;
    return std::nullopt;
}

QString TelluCategories::displayName(TelluCategory category)
{
    switch (category) {
    case TelluCategory::general: return telluText("tellu.category.general", "General");
    case TelluCategory::bug: return telluText("tellu.category.bug", "Bug Report");
    case TelluCategory::featureRequest: return telluText("tellu.category.featureRequest", "Feature Request");
    case TelluCategory::other: return telluText("tellu.category.other", "Other");
    }
    return {};
}

// ---- the feedback record

TelluFeedback::TelluFeedback(QString message, std::optional<QString> email, std::optional<TelluCategory> category,
                             std::optional<QMap<QString, QString>> metadata)
    : message(std::move(message)), email(std::move(email)), category(category), metadata(std::move(metadata)),
      timestamp(QDateTime::currentDateTimeUtc())
{
}

QJsonObject TelluFeedback::toJson() const
{
    QJsonObject object{{QStringLiteral("message"), message}, {QStringLiteral("timestamp"), isoTimestamp(timestamp)}};
    if (email)
        object.insert(QStringLiteral("email"), *email);
    if (category)
        object.insert(QStringLiteral("category"), TelluCategories::rawValue(*category));
    if (metadata) {
        QJsonObject map;
        for (auto it = metadata->cbegin(); it != metadata->cend(); ++it)
            map.insert(it.key(), it.value());
        object.insert(QStringLiteral("metadata"), map);
    }
    return object;
}

std::optional<TelluFeedback> TelluFeedback::fromJson(const QJsonObject& object)
{
    const QJsonValue message = object.value(QStringLiteral("message"));
    const QJsonValue timestamp = object.value(QStringLiteral("timestamp"));
    if (!message.isString() || !timestamp.isString())
        return std::nullopt;
    const QDateTime time = QDateTime::fromString(timestamp.toString(), Qt::ISODateWithMs);
    if (!time.isValid())
        return std::nullopt;
    TelluFeedback feedback(message.toString());
    feedback.timestamp = time.toUTC();
    if (object.contains(QStringLiteral("email"))) {
        const QJsonValue email = object.value(QStringLiteral("email"));
        if (!email.isString())
            return std::nullopt;
        feedback.email = email.toString();
    }
    if (object.contains(QStringLiteral("category"))) {
        feedback.category = TelluCategories::fromRawValue(object.value(QStringLiteral("category")).toString());
        if (!feedback.category)
            return std::nullopt;
    }
    if (object.contains(QStringLiteral("metadata"))) {
        const QJsonValue metadata = object.value(QStringLiteral("metadata"));
        if (!metadata.isObject())
            return std::nullopt;
        QMap<QString, QString> map;
        const QJsonObject members = metadata.toObject();
        for (auto it = members.begin(); it != members.end(); ++it) {
            if (!it.value().isString())
                return std::nullopt;
            map.insert(it.key(), it.value().toString());
        }
        feedback.metadata = std::move(map);
    }
    return feedback;
}

// ---- survey questions

TelluSurveyQuestion TelluSurveyQuestion::text(QString label, std::optional<QString> placeholder)
{
    return {Text{std::move(label), placeholder ? *placeholder : TelluStrings::textPlaceholder()}};
}

const QString& TelluSurveyQuestion::label() const
{
    return std::visit([](const auto& question) -> const QString& { return question.label; }, kind);
}

// ---- the platform text

QString telluPlatformText(const QString& systemName, const QString& systemVersion)
{
    // Three numbers, as "12" -> "12.0.0" and "22.04" -> "22.04.0"; a version that is not made of
    // numbers is written as it is.
    static const QRegularExpression numbers(QStringLiteral("^\\d+(\\.\\d+)*$"));
    QString version = systemVersion.trimmed();
    if (numbers.match(version).hasMatch()) {
        QStringList parts = version.split(u'.');
        while (parts.size() < 3)
            parts << QStringLiteral("0");
        version = parts.mid(0, 3).join(u'.');
    }
    if (version.isEmpty() || version == u"unknown")
        return systemName;
    return systemName + u' ' + version;
}

// ---- the client

TelluClient::TelluClient(TelluConfig config, QNetworkAccessManager* session)
    : m_config(std::move(config)), m_session(session)
{
}

QByteArray TelluClient::body(const TelluFeedback& feedback) const
{
    if (!feedback.timestamp.isValid())
        return {};
    // Written by hand so that the members keep the order below.
    QByteArray json = "{";
    auto member = [&json](const char* key, const QByteArray& value) {
        if (json.size() > 1)
            json += ',';
        json += '"';
        json += key;
        json += "\":";
        json += value;
    };
    member("app", jsonString(m_config.appName));
    if (m_config.includeSystemInfo) {
        const QString version = QCoreApplication::applicationVersion();
        if (!version.isEmpty())
            member("version", jsonString(version));
        member("platform", jsonString(telluPlatformText(systemName(), QSysInfo::productVersion())));
    }
    member("message", jsonString(feedback.message));
    if (feedback.email)
        member("email", jsonString(*feedback.email));
    if (feedback.category)
        member("category", jsonString(TelluCategories::rawValue(*feedback.category)));
    if (feedback.metadata) {
        QJsonObject map;
        for (auto it = feedback.metadata->cbegin(); it != feedback.metadata->cend(); ++it)
            map.insert(it.key(), it.value());
        member("metadata", QJsonDocument(map).toJson(QJsonDocument::Compact));
    }
    member("timestamp", jsonString(isoTimestamp(feedback.timestamp)));
    json += '}';
    return json;
}

void TelluClient::send(const TelluFeedback& feedback, QObject* context, Completion done) const
{
    const QPointer<QObject> receiver(context);
    auto finish = [receiver, hasReceiver = context != nullptr, done](const std::optional<TelluError>& outcome) {
        if (done && (!hasReceiver || receiver))
            done(outcome);
    };

    const QByteArray json = body(feedback);
    if (json.isEmpty()) {
        later([finish] { finish(TelluError::encodingError()); });
        return;
    }
    QNetworkRequest request(m_config.endpointURL);
    request.setTransferTimeout(kTimeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (m_config.token) {
        // An empty token is still sent, as an empty value (a null value would drop the header).
        QByteArray token = m_config.token->toUtf8();
        if (token.isNull())
            token = QByteArray("", 0);
        request.setRawHeader(QByteArrayLiteral("X-Tellu-Token"), token);
    }

    QNetworkAccessManager* session = m_session ? m_session : sharedSession();
    QNetworkReply* reply = session->post(request, json);
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, finish] {
        reply->deleteLater();
        // An HTTP status decides first: a 500 is the server's answer even though Qt also reports
        // it as an error of the reply. Only a request that got no answer at all is a network error.
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid()) {
            const int code = status.toInt();
            if (code >= 200 && code <= 299)
                finish(std::nullopt);
            else
                finish(TelluError::badResponse(code));
            return;
        }
        if (reply->error() != QNetworkReply::NoError) {
            finish(TelluError::networkError(reply->errorString()));
            return;
        }
        // A response that is not HTTP (another scheme) counts as delivered.
        finish(std::nullopt);
    });
}

// ---- the shared instance

Tellu& Tellu::shared()
{
    static Tellu instance;
    return instance;
}

void Tellu::configure(const TelluConfig& config)
{
    Tellu& kit = shared();
    kit.m_config = config;
    kit.m_client = std::make_shared<const TelluClient>(config);
}

void Tellu::send(const TelluFeedback& feedback, QObject* context, TelluClient::Completion done)
{
    // Holding the client keeps the configuration of this send, whatever configure does meanwhile.
    const std::shared_ptr<const TelluClient> client = shared().m_client;
    if (!client) {
        // A host that sends before configuring the kit gets a failure it can see at once rather
        // than a send that goes nowhere.
        const QPointer<QObject> receiver(context);
        later([receiver, hasReceiver = context != nullptr, done] {
            if (done && (!hasReceiver || receiver))
                done(TelluError::networkError(QStringLiteral("The feedback kit is not configured.")));
        });
        return;
    }
    client->send(feedback, context, std::move(done));
}
