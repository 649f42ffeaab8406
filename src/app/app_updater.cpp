#include "app/app_updater.h"

#include "backend/bundle_configuration.h"
#include "platform/logging.h"
#include "platform/settings_store.h"
#include "platform/texts.h"
#include "platform/url_opener.h"

#include <QApplication>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QRegularExpression>
#include <QVersionNumber>
#include <QXmlStreamReader>

#include <algorithm>

HF_LOGGING_CATEGORY(lcUpdater, "AppUpdater")

namespace hf {

namespace {

constexpr qint64 kMaxFeedBytes = 4 * 1024 * 1024;

QUrl webPage(const QString& text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
        return {};
    return url;
}

// The version in a title such as "Version 1.2.3" or "Hushframe 1.2": its last word that starts
// with a digit.
QString versionInTitle(const QString& title)
{
    static const QRegularExpression word(QStringLiteral("(\\d[\\w.\\-+]*)"));
    QString found;
    auto it = word.globalMatch(title);
    while (it.hasNext())
        found = it.next().captured(1);
    return found;
}

struct ItemFields {
    QString title, notes, link, releaseNotesLink, enclosureURL;
    QString version, shortVersion, enclosureVersion, enclosureShortVersion;
};

QString sparkleAttribute(const QXmlStreamAttributes& attributes, const char* name)
{
    for (const QXmlStreamAttribute& attribute : attributes)
        if (attribute.name() == QLatin1String(name) && attribute.prefix() == QLatin1String("sparkle"))
            return attribute.value().toString();
    return {};
}

std::optional<AppcastItem> toItem(const ItemFields& fields)
{
    QString version = fields.shortVersion;
    for (const QString& candidate : {fields.enclosureShortVersion, fields.version, fields.enclosureVersion,
                                     versionInTitle(fields.title)})
        if (version.trimmed().isEmpty())
            version = candidate;
    version = version.trimmed();
    if (version.isEmpty() || !version.front().isDigit())
        return std::nullopt;
    AppcastItem item;
    item.version = version;
    item.title = fields.title.trimmed();
    item.notes = fields.notes.trimmed();
    for (const QString& candidate : {fields.link, fields.releaseNotesLink, fields.enclosureURL}) {
        item.page = webPage(candidate);
        if (!item.page.isEmpty())
            break;
    }
    return item;
}

} // namespace

QString UpdateError::localizedDescription() const
{
    switch (m_case) {
    case Case::network:
        return text("ui.update.error.network", "The update server could not be reached: %@", {m_detail});
    case Case::server:
        return text("ui.update.error.server", "The update server answered with an error (HTTP %lld).", {m_status});
    case Case::unreadableFeed:
        break;
    }
    return text("ui.update.error.feed", "The update information could not be read.");
}

std::optional<AppcastItem> newestAppcastItem(const QByteArray& document)
{
    QXmlStreamReader xml(document);
    std::optional<AppcastItem> newest;
    bool sawRSS = false;
    std::optional<ItemFields> item;
    QString field;

    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QString name = xml.name().toString();
            if (!sawRSS) {
                if (name != QLatin1String("rss"))
                    throw UpdateError::unreadableFeed();
                sawRSS = true;
            } else if (name == QLatin1String("item") && !item) {
                item.emplace();
            } else if (item && name == QLatin1String("enclosure")) {
                const auto attributes = xml.attributes();
                item->enclosureURL = attributes.value(QLatin1String("url")).toString();
                item->enclosureVersion = sparkleAttribute(attributes, "version");
                item->enclosureShortVersion = sparkleAttribute(attributes, "shortVersionString");
            } else if (item) {
                field = (xml.prefix() == QLatin1String("sparkle") ? QStringLiteral("sparkle:") : QString()) + name;
            }
            break;
        }
        case QXmlStreamReader::Characters:
            if (item && !field.isEmpty()) {
                const QString chunk = xml.text().toString();
                if (field == QLatin1String("title"))
                    item->title += chunk;
                else if (field == QLatin1String("description"))
                    item->notes += chunk;
                else if (field == QLatin1String("link"))
                    item->link += chunk;
                else if (field == QLatin1String("sparkle:releaseNotesLink"))
                    item->releaseNotesLink += chunk;
                else if (field == QLatin1String("sparkle:version"))
                    item->version += chunk;
                else if (field == QLatin1String("sparkle:shortVersionString"))
                    item->shortVersion += chunk;
            }
            break;
        case QXmlStreamReader::EndElement:
            if (item && xml.name() == QLatin1String("item")) {
                auto candidate = toItem(*item);
                if (candidate && (!newest || compareVersions(candidate->version, newest->version) > 0))
                    newest = std::move(candidate);
                item.reset();
            }
            field.clear();
            break;
        default:
            break;
        }
    }
    if (xml.hasError() || !sawRSS)
        throw UpdateError::unreadableFeed();
    return newest;
}

int compareVersions(const QString& a, const QString& b)
{
    qsizetype suffixA = 0, suffixB = 0;
    const QVersionNumber numberA = QVersionNumber::fromString(a, &suffixA);
    const QVersionNumber numberB = QVersionNumber::fromString(b, &suffixB);
    if (const int c = QVersionNumber::compare(numberA.normalized(), numberB.normalized()); c != 0)
        return c;
    const QString restA = a.mid(suffixA);
    const QString restB = b.mid(suffixB);
    if (restA == restB)
        return 0;
    // A release ("1.2") is newer than any pre-release of it ("1.2-beta").
    if (restA.isEmpty())
        return 1;
    if (restB.isEmpty())
        return -1;
    return restA.compare(restB) < 0 ? -1 : 1;
}

// ----------------------------------------------------------------------------------------------

namespace {

QMessageBox* makeBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& message)
{
    if (!parent)
        parent = QApplication::activeWindow();
    auto* box = new QMessageBox(icon, title, message, QMessageBox::NoButton, parent);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    box->setObjectName(QStringLiteral("updates.dialog"));
    return box;
}

} // namespace

void DialogUpdatePresenter::updateAvailable(const AppcastItem& item, const QString& currentVersion)
{
    auto* box = makeBox(m_parent, QMessageBox::Information,
                        text("ui.update.available.title", "A new version of Hushframe is available"),
                        text("ui.update.available.message",
                             "Hushframe %@ is available; you have %@. Install it with your system's package manager.",
                             {item.version, currentVersion}));
    if (!item.notes.isEmpty())
        box->setDetailedText(item.notes);
    box->addButton(text("ui.update.later", "Later"), QMessageBox::RejectRole);
    if (!item.page.isEmpty()) {
        QPushButton* open = box->addButton(text("ui.update.openPage", "Open Download Page"), QMessageBox::AcceptRole);
        box->setDefaultButton(open);
        const QUrl page = item.page;
        QObject::connect(open, &QPushButton::clicked, box, [page] { systemURLOpener()(page); });
    }
    box->open();
}

void DialogUpdatePresenter::upToDate(const QString& currentVersion)
{
    auto* box = makeBox(m_parent, QMessageBox::Information,
                        text("ui.update.upToDate.title", "You're up to date"),
                        text("ui.update.upToDate.message", "Hushframe %@ is the newest version available.",
                             {currentVersion}));
    box->addButton(QMessageBox::Ok);
    box->open();
}

void DialogUpdatePresenter::checkFailed(const QString& message)
{
    auto* box = makeBox(m_parent, QMessageBox::Warning,
                        text("ui.update.failed.title", "Update check failed"), message);
    box->addButton(QMessageBox::Ok);
    box->open();
}

// ----------------------------------------------------------------------------------------------

AppUpdater::AppUpdater(QNetworkAccessManager* network, std::optional<QUrl> feed, QString currentVersion,
                       SettingsStore* settings, UpdatePresenter* presenter, QObject* parent)
    : QObject(parent),
      m_network(network),
      m_feed(std::move(feed)),
      m_currentVersion(std::move(currentVersion)),
      m_settings(settings),
      m_presenter(presenter),
      m_task(lcUpdater(), QStringLiteral("Update check"))
{
    m_schedule.setSingleShot(true);
    connect(&m_schedule, &QTimer::timeout, this, [this] { check(false); });
}

AppUpdater::~AppUpdater() = default;

std::optional<QUrl> AppUpdater::configuredFeed()
{
    const auto value = infoPlistString(QStringLiteral("SUFeedURL"));
    if (!value)
        return std::nullopt;
    const QUrl url = webPage(*value);
    if (url.isEmpty())
        return std::nullopt;
    return url;
}

void AppUpdater::setCanCheck(bool value)
{
    if (m_canCheck == value)
        return;
    m_canCheck = value;
    emit canCheckForUpdatesChanged(value);
}

void AppUpdater::start()
{
    if (m_started || !m_feed)
        return;
    m_started = true;
    setCanCheck(true);
    scheduleNext();
}

void AppUpdater::scheduleNext()
{
    if (!m_started)
        return;
    using std::chrono::milliseconds;
    const milliseconds day = std::chrono::hours(kCheckIntervalHours);
    milliseconds wait{0};
    if (m_failures > 0) {
        // 1, 2, 4, ... minutes after the last failure, up to the daily interval.
        const int doublings = std::min(m_failures - 1, 30);
        wait = std::min<milliseconds>(std::chrono::seconds(kFirstRetrySeconds) * (qint64(1) << doublings), day);
    } else if (const auto last = m_settings ? m_settings->string(QLatin1String(kLastCheckKey)) : std::nullopt) {
        const QDateTime lastCheck = QDateTime::fromString(*last, Qt::ISODateWithMs);
        if (lastCheck.isValid()) {
            wait = milliseconds(std::clamp<qint64>(now().msecsTo(lastCheck.addMSecs(day.count())), 0, day.count()));
        }
    }
    // A check that is due now still waits for the launch to settle.
    m_scheduledDelay = std::max<milliseconds>(wait, milliseconds(kLaunchSettleMs));
    m_schedule.start(m_scheduledDelay);
}

QDateTime AppUpdater::now() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTimeUtc();
}

std::optional<std::chrono::milliseconds> AppUpdater::scheduledDelay() const
{
    if (!m_schedule.isActive())
        return std::nullopt;
    return m_scheduledDelay;
}

void AppUpdater::checkForUpdates()
{
    if (!m_started || m_checking)
        return;
    check(true);
}

void AppUpdater::check(bool userInitiated)
{
    if (m_checking || !m_feed)
        return;
    m_checking = true;
    m_schedule.stop();
    setCanCheck(false);
    m_task.start([this, userInitiated](std::stop_token stop) { return runCheck(userInitiated, stop); });
}

QCoro::Task<void> AppUpdater::runCheck(bool userInitiated, std::stop_token stop)
{
    QPointer<AppUpdater> self(this);
    std::optional<AppcastItem> newest;
    QString failure;
    try {
        QNetworkRequest request(*m_feed);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setTransferTimeout(30000);
        QNetworkReply* reply = m_network->get(request);
        std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> holder(reply, [](QNetworkReply* r) { r->deleteLater(); });
        co_await awaitReply(reply, stop);
        if (!self)
            co_return;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
            throw UpdateError::server(status.toInt());
        if (reply->error() != QNetworkReply::NoError)
            throw UpdateError::network(reply->errorString());
        const QByteArray document = reply->read(kMaxFeedBytes + 1);
        if (document.size() > kMaxFeedBytes)
            throw UpdateError::unreadableFeed();
        newest = newestAppcastItem(document);
    } catch (const Cancelled&) {
        co_return;
    } catch (const Error& error) {
        failure = error.localizedDescription();
    }
    if (!self)
        co_return;

    m_checking = false;
    if (failure.isEmpty()) {
        m_failures = 0;
        if (m_settings) {
            m_settings->setValue(QLatin1String(kLastCheckKey), now().toString(Qt::ISODateWithMs));
        }
    } else {
        ++m_failures;
    }
    setCanCheck(true);
    if (!failure.isEmpty()) {
        qCWarning(lcUpdater, "Update check failed: %s", qPrintable(failure));
        if (userInitiated && m_presenter)
            m_presenter->checkFailed(failure);
    } else if (newest && compareVersions(newest->version, m_currentVersion) > 0) {
        qCInfo(lcUpdater, "Version %s is available", qPrintable(newest->version));
        if (m_presenter)
            m_presenter->updateAvailable(*newest, m_currentVersion);
    } else if (userInitiated && m_presenter) {
        m_presenter->upToDate(m_currentVersion);
    }
    scheduleNext();
    emit checkFinished();
}

} // namespace hf
