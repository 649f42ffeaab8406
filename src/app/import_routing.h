#pragma once

// Where picked and dropped videos go. One video goes to the editor (asking first when an
// unexported full clean would be replaced); several, or a pick made for the queue, go to the
// batch queue. Dropped files, and files picked for the queue or several at once, are filtered to
// movies first (a name typed into the chooser passes its filter); one file picked for the editor
// is checked as it opens. Main thread only.

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace hf {

class BatchQueueManager;
class EngineCoordinator;

// What the file chooser answered: the chosen files, nothing (cancelled) or an error text.
struct PickOutcome {
    std::optional<QList<QUrl>> urls;
    std::optional<QString> error;
};

class ImportRouter {
public:
    // `showQueue` makes the sidebar (and with it the queue) visible.
    ImportRouter(EngineCoordinator& coordinator, BatchQueueManager& batch, std::function<void()> showQueue);

    // The file chooser closed: the error goes to the coordinator's message; chosen files are
    // routed by the import target, which goes back to the editor.
    void importerFinished(const PickOutcome& outcome);
    // Keeps the movies among dropped files and routes them; none at all is reported.
    void filterImportableURLs(const QList<QUrl>& urls);
    void routeImportedURLs(const QList<QUrl>& urls, bool toQueue);

    // A file whose name says it is a movie.
    static bool isImportable(const QUrl& url);

private:
    // Keeps the movies among `urls` and routes them; when there were files but none is a movie,
    // says so instead.
    void routeImportableURLs(const QList<QUrl>& urls, bool toQueue);

    EngineCoordinator& m_coordinator;
    BatchQueueManager& m_batch;
    std::function<void()> m_showQueue;
};

} // namespace hf
