#include "helpers_cloud.h"

#include "platform/network.h"

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

} // namespace hf::test
