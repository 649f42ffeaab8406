#include "app/termination_signal.h"

#include "app/app_services.h"
#include "coordinator/export_temporaries.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace hf {

namespace {

constexpr std::array caught{SIGTERM, SIGHUP, SIGINT};

// Shared with the handler, which may only make async-signal-safe calls.
std::atomic<int> pipeRead{-1};
std::atomic<int> pipeWrite{-1};
// A signal was written to the pipe and the main thread has not read it yet.
std::atomic<bool> pending{false};
// Finished work would be lost by ending now.
std::atomic<bool> holding{false};

struct sigaction previous[caught.size()];
bool installed = false;

void onSignal(int number)
{
    const int saved = errno;
    if (pending.exchange(true) && !holding.load()) {
        // The main thread has not taken the first signal and nothing would be lost: the default
        // action ends the process, and an export under way leaves nothing of its own behind.
        ExportTemporaries::removeAllFromSignalHandler();
        ::signal(number, SIG_DFL);
        ::raise(number);
    }
    if (const int fd = pipeWrite.load(); fd >= 0) {
        const char byte = static_cast<char>(number);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

const char* nameOf(int number)
{
    switch (number) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    default: return "SIGTERM";
    }
}

} // namespace

bool TerminationSignal::install()
{
    if (installed)
        return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    pipeRead = fds[0];
    pipeWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < caught.size(); ++i)
        ::sigaction(caught[i], &action, &previous[i]);
    installed = true;
    return true;
}

void TerminationSignal::setHolding(bool hold)
{
    holding = hold;
}

TerminationSignal::TerminationSignal(QObject* parent) : QObject(parent)
{
    if (!install()) {
        qCWarning(lcApp, "No pipe for the end of the session; SIGTERM, SIGHUP and SIGINT end the application at once");
        return;
    }
    m_notifier = new QSocketNotifier(pipeRead.load(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignal::received);
}

TerminationSignal::~TerminationSignal()
{
    if (!installed)
        return;
    delete m_notifier;
    for (size_t i = 0; i < caught.size(); ++i)
        ::sigaction(caught[i], &previous[i], nullptr);
    const int write = pipeWrite.exchange(-1);
    const int read = pipeRead.exchange(-1);
    ::close(write);
    ::close(read);
    pending = false;
    holding = false;
    installed = false;
}

void TerminationSignal::received()
{
    char bytes[16];
    ssize_t got = 0;
    int last = SIGTERM;
    while ((got = ::read(pipeRead.load(), bytes, sizeof bytes)) > 0)
        last = bytes[got - 1];
    // Cleared after the read: a byte written in between is read on the notifier's next round.
    pending = false;
    qCInfo(lcApp, "Asked to end (%s)", nameOf(last));
    // On the main thread the quit request is handled before quit() returns: the application is
    // ending, or the quit guard kept it open with its question.
    QCoreApplication::quit();
}

} // namespace hf
