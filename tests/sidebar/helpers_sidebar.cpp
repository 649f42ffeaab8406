#include "helpers_sidebar.h"

#include "sidebar/replace_confirmation.h"
#include "sidebar/video_sidebar.h"
#include "support/test_support.h"

#include <QApplication>
#include <QHBoxLayout>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QPainter>

namespace hf::test {

SidebarWindow::SidebarWindow(SidebarRig& rig, int height)
{
    auto* row = new QHBoxLayout(&host);
    row->setContentsMargins(0, 0, 0, 0);
    sidebar = new VideoSidebar(&rig.coordinator(), rig.queue.get(), rig.thumbnails.get(), rig.rig.defaults.get());
    sidebar->setRevealer([&rig](const QString& path) { rig.revealed << path; });
    row->addWidget(sidebar);
    confirmation = new ReplaceConfirmation(&rig.coordinator(), &host);
    host.resize(300, height);
    host.show();
}

void SidebarWindow::shoot(const QString& state)
{
    QApplication::processEvents();
    saveScreenshot(host.grab().toImage(), QStringLiteral("sidebar"), state);
}

SidebarRig::SidebarRig()
{
    queueEngine.stemsFolder = rig.dir.filePath(QStringLiteral("QueueStems"));
    queue = std::make_unique<BatchQueueManager>(&queueEngine, nullptr, nullptr, rig.dir.filePath(QStringLiteral("Batch")),
                                                [] { return SeparationSettings{}; }, queueMedia);
    thumbnails = std::make_unique<ThumbnailCache>([](QUrl url, QSize) -> QCoro::Task<std::optional<QImage>> {
        QImage image(160, 90, QImage::Format_RGB32);
        // A colour per file, so rows can be told apart in screenshots.
        image.fill(QColor::fromHsv(int(qHash(url.fileName()) % 360), 120, 170));
        co_return image;
    });
}

SidebarRig::~SidebarRig()
{
    release();
    queue.reset();
}

QUrl SidebarRig::queueVideo(const QString& name, double seconds)
{
    queueMedia->durations.insert(name, seconds);
    const QString path = rig.dir.filePath(QStringLiteral("queue/") + name);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    return QUrl::fromLocalFile(path);
}

bool SidebarRig::runQueue()
{
    queue->start();
    return waitFor([&] { return !queue->isProcessingQueue(); });
}

QString SidebarRig::writeOutput(const BatchJob& job, const QByteArray& content)
{
    const QString path = job.status.videoURL().toLocalFile();
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return path;
}

bool SidebarRig::makeMixedQueue()
{
    queue->enqueue({queueVideo("beach.mp4"), queueVideo("harbour.mov", 75)});
    if (!waitFor([&] { return queue->jobs().size() == 2 && queue->jobs()[1].duration > 0; }) || !runQueue())
        return false;
    queueEngine.failure = QStringLiteral("The service could not separate this file.");
    queue->enqueue({queueVideo("storm.mp4")});
    if (!waitFor([&] { return queue->jobs().size() == 3 && queue->jobs()[2].duration > 0; }) || !runQueue())
        return false;
    queueEngine.failure.reset();
    queueEngine.gate = makeGate();
    queue->enqueue({queueVideo("interview with the harbour master.mp4", 3725), queueVideo("zero.mp4", 0)});
    if (!waitFor([&] { return queue->jobs().size() == 5 && queue->jobs()[3].duration > 0; }))
        return false;
    queue->start();
    // Working, held inside the separation.
    return waitFor([&] { return queueEngine.calls.size() == 4 && queue->jobs()[3].status.isWorking(); });
}

void SidebarRig::release()
{
    if (queueEngine.gate && !queueEngine.gate->isReady())
        queueEngine.gate->resolve(true);
}

QStringList menuTexts(QMenu* menu)
{
    QStringList texts;
    for (QAction* action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

QAction* menuItem(QMenu* menu, const QString& title)
{
    for (QAction* action : menu->actions())
        if (action->text() == title)
            return action;
    return nullptr;
}

bool near(const QColor& a, const QColor& b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
           && std::abs(a.blue() - b.blue()) <= tolerance && std::abs(a.alpha() - b.alpha()) <= tolerance;
}

QImage drawn(QSize size, const std::function<void(QPainter&)>& paint)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    paint(p);
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace hf::test
