// hushframe-server: the local backend on 127.0.0.1.
//   hushframe-server --port N --data DIR [--catalogue DIR] [--host ADDR] [--test-controls]
//                    [--feedback-token TOKEN] [--workers N] [--threads N] [--job-ttl SECONDS]
//                    [--anonymous-limit N] [--session-refresh SECONDS]

#include "http/http_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <sys/stat.h>

namespace {

int usage(const char* message)
{
    std::fprintf(stderr,
                 "hushframe-server: %s\n"
                 "usage: hushframe-server --port N --data DIR [--catalogue DIR] [--host ADDR] [--test-controls]\n"
                 "                        [--feedback-token TOKEN] [--workers N] [--threads N] [--job-ttl SECONDS]\n"
                 "                        [--anonymous-limit N] [--session-refresh SECONDS]\n",
                 message);
    return 2;
}

bool toNumber(const std::string& text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && value >= 0;
}

} // namespace

int main(int argc, char** argv)
{
    hf::server::ServerOptions options;
    bool havePort = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        double number = 0;
        if (arg == "--test-controls") {
            options.testControls = true;
            continue;
        }
        const char* value = next();
        if (!value)
            return usage(("missing value for " + arg).c_str());
        if (arg == "--port" && toNumber(value, number) && number <= 65535) {
            options.port = int(number);
            havePort = true;
        } else if (arg == "--data")
            options.dataDir = value;
        else if (arg == "--catalogue")
            options.catalogueDir = value;
        else if (arg == "--host")
            options.host = value;
        else if (arg == "--feedback-token")
            options.feedbackToken = value;
        else if (arg == "--workers" && toNumber(value, number) && number >= 1)
            options.workers = int(number);
        else if (arg == "--threads" && toNumber(value, number) && number >= 1)
            options.threads = int(number);
        else if (arg == "--job-ttl" && toNumber(value, number) && number > 0)
            options.jobTtlSeconds = number;
        else if (arg == "--anonymous-limit" && toNumber(value, number))
            options.anonymousLimit = int(number);
        else if (arg == "--session-refresh" && toNumber(value, number))
            options.sessionRefreshSeconds = number;
        else
            return usage(("bad argument " + arg + " " + value).c_str());
    }
    if (!havePort || options.dataDir.empty())
        return usage("--port and --data are required");

    // Signals are taken by sigwait below, not by whichever thread happens to run.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Whatever the server or its libraries create is its user's alone.
    ::umask(0077);

    hf::server::HttpServer server(options);
    try {
        server.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hushframe-server: %s\n", e.what());
        return 1;
    }
    std::cout << "Listening on " << server.baseUrl() << std::endl;
    if (options.catalogueDir.empty())
        std::fprintf(stderr, "No song catalogue given (--catalogue DIR): song checks are answered \"not_checked\"\n");

    int received = 0;
    sigwait(&signals, &received);
    std::fprintf(stderr, "hushframe-server: stopping\n");
    server.stop();
    return 0;
}
