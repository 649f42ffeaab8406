// Re-mixing the current result's clean soundtrack at a new ambience level, from the stems already
// on disk. Each change waits a quarter of a second and gives way to any later one.

#include "coordinator/engine_coordinator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <cmath>

namespace hf {

namespace {

constexpr auto remixDelay = std::chrono::milliseconds(250);
constexpr double remixTolerance = 0.001;

// Whether `file` lies inside `folder` (after resolving "." and ".." and symbolic links).
bool isInside(const QString& file, const QString& folder)
{
    const QString folderPath = QFileInfo(folder).canonicalFilePath();
    const QString filePath = QFileInfo(file).canonicalFilePath();
    if (folderPath.isEmpty() || filePath.isEmpty())
        return false;
    return filePath.startsWith(folderPath + QLatin1Char('/'));
}

} // namespace

void EngineCoordinator::setAmbience(double level)
{
    // NaN fails every comparison and ends up at 0.
    const double clamped = level > 1.0 ? 1.0 : (level > 0.0 ? level : 0.0);
    modifySettings([clamped](SeparationSettings& settings) { settings.ambience = clamped; });
    scheduleRemix();
}

void EngineCoordinator::scheduleRemix()
{
    if (!m_currentResult)
        return;
    const double target = m_settings.ambience;
    if (std::abs(m_currentResult->ambience - target) <= remixTolerance)
        return;
    const SeparationResult result = *m_currentResult;
    const std::stop_token alive = m_alive.get_token();
    m_remixTask.start([this, result, target, alive](std::stop_token stop) {
        return runRemix(result, target, stop, alive);
    });
}

QCoro::Task<void> EngineCoordinator::runRemix(SeparationResult result, double target, std::stop_token stop,
                                              std::stop_token alive)
{
    try {
        auto waiting = sleepFor(remixDelay, stop);
        co_await std::move(waiting);
    } catch (const Cancelled&) {
    }
    if (stop.stop_requested())
        co_return;

    ++m_remixesRendering;
    setRemixing(true);
    // The latest re-mix's progress, from its start, in order and only forward; none once a later
    // one began or this one was stopped.
    setRemixProgress(0);
    QPointer<EngineCoordinator> self(this);
    const MediaProgress reports = progressOnThreadOf(this, [self, stop](double fraction) {
        if (self && !stop.stop_requested() && fraction > self->m_remixProgress)
            self->setRemixProgress(fraction);
    });
    const QString folder = QFileInfo(result.cleanAudioURL.toLocalFile()).path();
    const QString name = QStringLiteral("clean-%1.m4a")
                             .arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(8));
    const QUrl output = QUrl::fromLocalFile(QDir(folder).filePath(name));

    std::optional<QUrl> written;
    std::optional<QString> failure;
    bool cancelled = false;
    try {
        auto mixing = m_media->mixSeparated(result.dialogueStemURL, result.effectsStemURL, result.originalAudioURL,
                                            output, AudioQuality::aac, target, stop, reports);
        written = co_await std::move(mixing);
    } catch (const Cancelled&) {
        cancelled = true;
    } catch (const std::exception& e) {
        failure = describe(e);
    }
    if (alive.stop_requested())
        co_return;
    const auto finish = [this] {
        if (--m_remixesRendering == 0)
            setRemixing(false);
    };
    // The result keeps its soundtrack and level; the setting keeps the new level.
    if (cancelled || failure) {
        if (failure)
            qCCritical(lcEngineCoordinator, "Re-mix failed: %s", qUtf8Printable(*failure));
        else
            qCInfo(lcEngineCoordinator, "Re-mix cancelled");
        finish();
        co_return;
    }
    // Stopped after the mix, or the result is not the current one any more: the file is left alone.
    if (stop.stop_requested() || !m_currentResult || m_currentResult->id != result.id) {
        finish();
        co_return;
    }

    const QUrl previous = m_currentResult->cleanAudioURL;
    const QUrl mixed = *written;
    modifyCurrentResult([&mixed](SeparationResult& current) { current.cleanAudioURL = mixed; });
    modifyCurrentResult([target](SeparationResult& current) { current.ambience = target; });
    m_recents->record(*m_currentResult);
    // The replaced soundtrack goes only once the player has let it go, and only when it is one of
    // our own working files.
    const bool switched = m_player->reloadCleanAudio(mixed.toLocalFile());
    if (switched && previous != mixed && previous.isLocalFile()
        && isInside(previous.toLocalFile(), m_workingDirectory))
        QFile::remove(previous.toLocalFile());
    finish();
}

} // namespace hf
