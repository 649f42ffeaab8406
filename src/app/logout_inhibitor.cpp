#include "app/logout_inhibitor.h"

#include "app/app_services.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace hf {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString inhibitInterface = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
// The portal's flag for the end of the session.
constexpr uint logoutFlag = 1;

// Names each ask apart within the process, so that no two share a request path.
quint64 asks = 0;

// The path the portal gives the request named `token` of the connection `bus`.
QString requestPath(const QDBusConnection& bus, const QString& token)
{
    QString sender = bus.baseService();
    sender.remove(QLatin1Char(':')).replace(QLatin1Char('.'), QLatin1Char('_'));
    return portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

void closeRequest(QDBusConnection bus, const QString& handle)
{
    QDBusMessage close = QDBusMessage::createMethodCall(portalService, handle, requestInterface, QStringLiteral("Close"));
    // A portal started now holds nothing.
    close.setAutoStartService(false);
    bus.send(close);
}

} // namespace

LogoutInhibitor::LogoutInhibitor(QObject* parent) : QObject(parent) {}

LogoutInhibitor::~LogoutInhibitor()
{
    release();
}

void LogoutInhibitor::hold(bool on, const QString& reason)
{
    m_wanted = on;
    if (!reason.isEmpty())
        m_reason = reason;
    if (on)
        request();
    else
        release();
}

void LogoutInhibitor::setBus(const QDBusConnection& bus)
{
    release();
    m_refused = false;
    m_bus = bus;
    request();
}

void LogoutInhibitor::request()
{
    if (!m_wanted || m_refused || !m_request.isEmpty())
        return;
    if (!m_bus) {
        // Without a session bus's address no portal can be reached (and none is started for it).
        if (!qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
            return;
        m_bus = QDBusConnection::sessionBus();
    }
    if (!m_bus->isConnected())
        return;
    const QString token = QStringLiteral("hushframe%1").arg(++asks);
    m_request = requestPath(*m_bus, token);
    // Listened to before the ask, as the portal may answer on the path before the call returns.
    watchResponse(true);
    QDBusMessage message = QDBusMessage::createMethodCall(portalService, portalPath, inhibitInterface,
                                                          QStringLiteral("Inhibit"));
    message << QString() << logoutFlag
            << QVariantMap{{QStringLiteral("handle_token"), token}, {QStringLiteral("reason"), m_reason}};
    auto* watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(message, m_answerTimeout), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, path = m_request, bus = *m_bus](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *call;
                // Let go (or the bus changed) since the ask: the Close went to its path then.
                const bool current = path == m_request;
                if (reply.isError()) {
                    const QDBusError::ErrorType error = reply.error().type();
                    if (!current)
                        return;
                    if (error == QDBusError::NoReply || error == QDBusError::Timeout) {
                        // A busy portal may still take the hold: it stays known by its path, to be
                        // closed when let go, and nothing more is asked meanwhile.
                        qCInfo(lcApp) << "The desktop portal has not answered the logout hold yet:" << reply.error().message();
                        return;
                    }
                    // No portal, or one without the interface: it is not asked again.
                    watchResponse(false);
                    m_request.clear();
                    m_refused = true;
                    qCInfo(lcApp) << "The desktop portal holds no logout:" << reply.error().message();
                    return;
                }
                const QString handle = reply.value().path();
                if (!current) {
                    // Closed again by the answer's own path, should the portal have taken the
                    // hold after that Close or named the request otherwise.
                    closeRequest(bus, handle);
                    return;
                }
                if (handle != m_request) {
                    // A portal that gave the request a path of its own.
                    watchResponse(false);
                    m_request = handle;
                    watchResponse(true);
                }
            });
}

void LogoutInhibitor::release()
{
    if (m_request.isEmpty())
        return;
    // Sent whether or not the portal answered: it takes the calls in order, so the Close comes
    // after the ask it would answer late.
    watchResponse(false);
    closeRequest(*m_bus, std::exchange(m_request, QString()));
}

void LogoutInhibitor::watchResponse(bool on)
{
    // From any sender: looking up the portal's owner would wait for the bus.
    const QString signal = QStringLiteral("Response");
    const char* slot = SLOT(responded(uint, QVariantMap));
    if (on)
        m_bus->connect(QString(), m_request, requestInterface, signal, this, slot);
    else
        m_bus->disconnect(QString(), m_request, requestInterface, signal, this, slot);
}

void LogoutInhibitor::responded(uint response, const QVariantMap&)
{
    // The portal ended the request without a hold (its backend could not take it); the Close when
    // let go finds nothing, and the next hold asks again.
    if (response != 0 && message().path() == m_request)
        qCInfo(lcApp) << "The desktop portal ended its logout hold:" << response;
}

} // namespace hf
