#pragma once

// One running application per user: the first start listens on a per-user local channel; a later
// start hands its arguments (the links it was opened with) to the running one and exits.

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

namespace hf {

class SingleInstance : public QObject {
    Q_OBJECT

public:
    // The channel of this user: $HF_INSTANCE_CHANNEL when set (tests use their own), else a socket
    // in the user's runtime folder.
    static QString defaultChannel();

    // Hands `messages` to the instance listening on `channel`; false when none answers.
    static bool forward(const QString& channel, const QStringList& messages, int timeoutMs = 3000);
    // The same, for an instance that holds the claim but may not listen yet: tries again until
    // `timeoutMs` has passed.
    static bool forwardWhenListening(const QString& channel, const QStringList& messages, int timeoutMs = 10000);

    explicit SingleInstance(QString channel = defaultChannel(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Claims the channel and starts listening, taking over a channel left behind by an instance
    // that ended without closing it; false when another instance holds it. The claim is a lock on
    // a file beside the channel that only one process at a time can hold and that ends with the
    // process, so two starts at the same moment can never both win.
    bool listen();
    const QString& channel() const { return m_channel; }

Q_SIGNALS:
    // One message (a link) forwarded by a later start.
    void messageReceived(const QString& message);

private:
    void accept();

    QString m_channel;
    QLocalServer* m_server = nullptr;
    int m_lockFd = -1;
};

} // namespace hf
