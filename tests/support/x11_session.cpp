#include "support/x11_session.h"

#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QWindow>

namespace hf::test::x11 {

QString unavailable()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return QStringLiteral("needs an X server (run under xvfb-run with QT_QPA_PLATFORM=xcb)");
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        return QStringLiteral("needs xdotool");
    return {};
}

bool typeKeys(const QString& chord)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("--clearmodifiers"), chord});
    return xdotool.waitForFinished(10000) && xdotool.exitStatus() == QProcess::NormalExit && xdotool.exitCode() == 0;
}

QImage screenPicture(const QWindow* window)
{
    if (!window || !window->screen())
        return {};
    return window->screen()->grabWindow(window->winId()).toImage();
}

bool differsWithin(const QImage& before, const QImage& after, const QRect& area)
{
    if (before.isNull() || after.isNull())
        return false;
    const double ratio = after.devicePixelRatio();
    const QRect pixels = QRect(area.topLeft() * ratio, area.size() * ratio)
                             .intersected(before.rect())
                             .intersected(after.rect());
    for (int y = pixels.top(); y <= pixels.bottom(); ++y)
        for (int x = pixels.left(); x <= pixels.right(); ++x)
            if (before.pixel(x, y) != after.pixel(x, y))
                return true;
    return false;
}

} // namespace hf::test::x11
