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

void closeRequest(QDBusConnection bus, const QString& handle)
{
    bus.send(QDBusMessage::createMethodCall(portalService, handle, requestInterface, QStringLiteral("Close")));
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
    ++m_generation;
    m_asking = false;
    m_refused = false;
    m_bus = bus;
    request();
}

void LogoutInhibitor::request()
{
    if (!m_wanted || m_asking || m_refused || !m_handle.isEmpty())
        return;
    if (!m_bus) {
        // Without a session bus's address no portal can be reached (and none is started for it).
        if (!qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
            return;
        m_bus = QDBusConnection::sessionBus();
    }
    if (!m_bus->isConnected())
        return;
    QDBusMessage message = QDBusMessage::createMethodCall(portalService, portalPath, inhibitInterface,
                                                          QStringLiteral("Inhibit"));
    message << QString() << logoutFlag << QVariantMap{{QStringLiteral("reason"), m_reason}};
    m_asking = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation = m_generation, bus = *m_bus](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *call;
                if (reply.isError()) {
                    // No portal, or one without the interface: it is not asked again.
                    if (generation == m_generation) {
                        m_asking = false;
                        m_refused = true;
                        qCInfo(lcApp) << "The desktop portal holds no logout:" << reply.error().message();
                    }
                    return;
                }
                const QString handle = reply.value().path();
                if (generation != m_generation) {
                    closeRequest(bus, handle);
                    return;
                }
                m_asking = false;
                m_handle = handle;
                // Let go meanwhile: the hold ends as soon as it is taken.
                if (!m_wanted)
                    release();
            });
}

void LogoutInhibitor::release()
{
    if (m_handle.isEmpty())
        return;
    closeRequest(*m_bus, std::exchange(m_handle, QString()));
}

} // namespace hf
