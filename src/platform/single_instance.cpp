#include "platform/single_instance.h"

#include "platform/logging.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>

namespace hf {

HF_LOGGING_CATEGORY(lcSingleInstance, "SingleInstance")

namespace {

constexpr qsizetype maxMessageBytes = 8 * 1024;
constexpr qsizetype maxBufferedBytes = 64 * 1024;

} // namespace

QString SingleInstance::defaultChannel()
{
    const QString overridden = qEnvironmentVariable("HF_INSTANCE_CHANNEL");
    if (!overridden.isEmpty())
        return overridden;
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("dev.lanternworkshop.Hushframe.instance"));
}

bool SingleInstance::forward(const QString& channel, const QStringList& messages, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(channel);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray payload;
    for (const QString& message : messages) {
        QByteArray line = message.toUtf8();
        if (line.contains('\n') || line.size() > maxMessageBytes)
            continue;
        payload += line + '\n';
    }
    socket.write(payload);
    if (!payload.isEmpty() && !socket.waitForBytesWritten(timeoutMs))
        return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    return true;
}

bool SingleInstance::forwardWhenListening(const QString& channel, const QStringList& messages, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        const int remaining = static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0));
        if (forward(channel, messages, std::min(remaining, 1000)))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
}

SingleInstance::SingleInstance(QString channel, QObject* parent)
    : QObject(parent), m_channel(std::move(channel))
{
}

SingleInstance::~SingleInstance()
{
    delete m_server;
    m_server = nullptr;
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool SingleInstance::listen()
{
    if (m_server && m_server->isListening())
        return true;
    // The claim: whoever holds the lock is the one instance, from before it listens until it ends.
    if (m_lockFd < 0) {
        const QByteArray lockPath = QFile::encodeName(m_channel + QStringLiteral(".lock"));
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            // No place for the lock (nor, then, for the channel): run unclaimed rather than not at all.
            qCWarning(lcSingleInstance, "Could not open the instance lock %s", lockPath.constData());
        } else if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            m_lockFd = fd;
        } else {
            const bool held = errno == EWOULDBLOCK;
            ::close(fd);
            if (held)
                return false;
            // A file system without locks: run unclaimed rather than not at all.
            qCWarning(lcSingleInstance, "Could not lock the instance lock %s", lockPath.constData());
        }
    }
    // Holding the claim, whatever is left at the channel is a leftover of an instance that ended.
    QLocalServer::removeServer(m_channel);
    delete m_server;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_channel)) {
        // Still the one instance (the claim is held); only the links of later starts are lost.
        qCWarning(lcSingleInstance, "Could not listen for other starts: %s", qUtf8Printable(m_server->errorString()));
        return true;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
    return true;
}

void SingleInstance::accept()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        auto drain = [this, socket, buffer] {
            buffer->append(socket->readAll());
            if (buffer->size() > maxBufferedBytes) {
                buffer->clear();
                socket->abort();
                return;
            }
            qsizetype newline;
            while ((newline = buffer->indexOf('\n')) >= 0) {
                const QByteArray line = buffer->left(newline);
                buffer->remove(0, newline + 1);
                if (!line.isEmpty() && line.size() <= maxMessageBytes)
                    Q_EMIT messageReceived(QString::fromUtf8(line));
            }
        };
        connect(socket, &QLocalSocket::readyRead, this, drain);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->bytesAvailable() > 0)
            drain();
    }
}

} // namespace hf
