#pragma once

// Tells the desktop that logging out now would lose work, so that it asks the user before it ends
// the session: through the XDG desktop portal's Inhibit interface on the session bus, with the
// logout flag. The inhibition is held from hold(true) until hold(false) (or the end of the bus
// connection, as when the application ends). Without a portal nothing is held; on X11 the session
// manager's own question (QGuiApplication::commitDataRequest, handled by the quit guard) still
// asks. Main thread only; never waits for the bus.
//
//     LogoutInhibitor logout;       // the session bus, once a hold is first wanted
//     logout.hold(true, reason);    // cleaned work not yet saved
//     logout.hold(false);           // nothing at stake again

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <optional>

namespace hf {

class LogoutInhibitor : public QObject {
    Q_OBJECT

public:
    explicit LogoutInhibitor(QObject* parent = nullptr);
    ~LogoutInhibitor() override;

    // Asks the portal to hold the logout (with `reason` shown by the desktop), or lets it go.
    void hold(bool on, const QString& reason = {});
    // Whether a hold is wanted (the portal may not have answered yet, or may not run).
    bool isHolding() const { return m_wanted; }
    // Uses `bus` from now on (tests use a private bus); a hold taken on the earlier bus is let go.
    void setBus(const QDBusConnection& bus);

private:
    void request();
    void release();

    std::optional<QDBusConnection> m_bus;
    bool m_wanted = false;
    QString m_reason;
    // The portal's request object while the hold is taken, and whether its answer is awaited.
    QString m_handle;
    bool m_asking = false;
    // The portal answered with an error: there is none to ask on this bus.
    bool m_refused = false;
    // Counts the calls: an answer for an earlier bus is let go at once.
    quint64 m_generation = 0;
};

} // namespace hf
