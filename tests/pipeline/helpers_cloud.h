#pragma once

// The client side of the cloud as the application builds it, talking to the local server started
// in-process: separate network sessions for the API and for the transfers, the session token in
// memory, the API client and the uploader. Nobody is signed in yet.

#include "backend/api_client.h"
#include "backend/session_token_store.h"
#include "pipeline/audio_uploader.h"
#include "pipeline/cloud_separation_engine.h"
#include "support/local_server.h"

#include <QNetworkAccessManager>
#include <QStringList>

#include <memory>
#include <optional>

namespace hf::test {

class LocalCloud {
public:
    LocalCloud();

    std::unique_ptr<LocalServer> server;
    std::unique_ptr<QNetworkAccessManager> apiSession;
    std::unique_ptr<QNetworkAccessManager> transferSession;
    InMemoryTokenStore tokens;
    std::unique_ptr<APIClient> api;
    std::unique_ptr<URLSessionUploader> uploader;

    // A cloud engine on this client keeping its jobs in `jobsFolder` and polling every 50 ms, so
    // that a test's jobs finish quickly.
    std::unique_ptr<CloudSeparationEngine> makeEngine(const QString& jobsFolder) const;
};

// The error of type E that `f` throws; none (and a warning naming it) when it throws another or
// nothing.
template<class E, class F>
std::optional<E> thrown(F&& f)
{
    try {
        f();
    } catch (const E& e) {
        return e;
    } catch (const std::exception& e) {
        qWarning("unexpected failure: %s", qUtf8Printable(describe(e)));
    }
    return std::nullopt;
}

// Every file in the job folders under `jobsFolder`, hidden ones too, as "job/file", sorted.
QStringList filesUnder(const QString& jobsFolder);

} // namespace hf::test
