#include "helpers_cloud.h"

#include "platform/network.h"

#include <QDir>

namespace hf::test {

using namespace std::chrono_literals;

LocalCloud::LocalCloud()
    : server(std::make_unique<LocalServer>()), apiSession(makeEphemeralNetworkSession(nullptr)),
      transferSession(makeEphemeralNetworkSession(nullptr)),
      api(std::make_unique<APIClient>(server->baseUrl(), apiSession.get(), &tokens)),
      uploader(std::make_unique<URLSessionUploader>(transferSession.get()))
{
}

std::unique_ptr<CloudSeparationEngine> LocalCloud::makeEngine(const QString& jobsFolder) const
{
    auto engine = std::make_unique<CloudSeparationEngine>(api.get(), uploader.get(), transferSession.get(), jobsFolder);
    engine->setPollInterval(50ms);
    return engine;
}

QStringList filesUnder(const QString& jobsFolder)
{
    QStringList names;
    for (const auto& job : QDir(jobsFolder).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        for (const auto& f : QDir(jobsFolder + u'/' + job).entryList(QDir::Files | QDir::Hidden))
            names << job + u'/' + f;
    names.sort();
    return names;
}

} // namespace hf::test
