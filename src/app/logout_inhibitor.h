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
//
// Each ask names its request (the portal's handle_token), so the request's path, which is the
// hold, is known before the portal answers: a hold let go before the answer, or after an answer
// that came too late to be seen, is closed all the same.

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <optional>

namespace hf {

class LogoutInhibitor : public QObject, protected QDBusContext {
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
    // How long the portal's answer is awaited before it is taken as late (D-Bus's own 25 s unless
    // set; tests shorten it).
    void setAnswerTimeout(std::chrono::milliseconds timeout) { m_answerTimeout = int(timeout.count()); }

private Q_SLOTS:
    // The portal's Response signal on the request's path: a request it ended without a hold.
    void responded(uint response, const QVariantMap& results);

private:
    void request();
    void release();
    void watchResponse(bool on);

    std::optional<QDBusConnection> m_bus;
    bool m_wanted = false;
    QString m_reason;
    int m_answerTimeout = -1;
    // The path of the portal's request from the ask until the hold is let go, whether the answer
    // came, is awaited or came too late to be seen.
    QString m_request;
    // The portal answered with an error other than a timeout: there is none to ask on this bus.
    bool m_refused = false;
};

} // namespace hf
