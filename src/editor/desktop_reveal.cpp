#include "editor/desktop_reveal.h"

#include "platform/logging.h"
#include "platform/url_opener.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QUrl>
#include <QUuid>

namespace hf {

namespace {

HF_LOGGING_CATEGORY(lcDesktopReveal, "DesktopReveal")

void openFolder(const QString& path)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!systemURLOpener()(QUrl::fromLocalFile(folder)))
        qCWarning(lcDesktopReveal, "Could not open the folder %s", qUtf8Printable(folder));
}

} // namespace

void revealInFileManager(const QString& path)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolder(path);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    const QString uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded);
    // The startup id lets the file manager raise its window; any unique text will do.
    const QString startupId = QStringLiteral("hushframe-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    call << QStringList{uri} << startupId;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, path] {
        const QDBusPendingReply<> reply = *watcher;
        if (reply.isError()) {
            qCInfo(lcDesktopReveal, "No file manager showed the file (%s); opening its folder",
                   qUtf8Printable(reply.error().message()));
            openFolder(path);
        }
        watcher->deleteLater();
    });
}

FileRevealer systemFileRevealer()
{
    return [](const QString& path) { revealInFileManager(path); };
}

} // namespace hf
