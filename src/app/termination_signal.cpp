#include "app/termination_signal.h"

#include "app/app_services.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace hf {

namespace {

// The pipe's writing end, for the handler (which may only make async-signal-safe calls).
std::atomic<int> signalPipe{-1};

void onTerminate(int)
{
    const int saved = errno;
    const int fd = signalPipe.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

// Each SIGTERM puts the default action back as it is taken (SA_RESETHAND), and the main thread
// arms the handler again once it has asked for the quit. So a second SIGTERM still ends a process
// whose main thread is held (waiting for the keyring's answer, say) instead of being lost in the
// pipe, as the desktop's end of a session expects.
const struct sigaction& handling()
{
    static const struct sigaction action = [] {
        struct sigaction made {};
        made.sa_handler = &onTerminate;
        sigemptyset(&made.sa_mask);
        made.sa_flags = SA_RESTART | SA_RESETHAND;
        return made;
    }();
    return action;
}

} // namespace

TerminationSignal::TerminationSignal(QObject* parent) : QObject(parent)
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcApp, "No pipe for the end of the session; SIGTERM ends the application at once");
        return;
    }
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignal::received);
    signalPipe = m_pipe[1];
    m_installed = ::sigaction(SIGTERM, &handling(), &m_previous) == 0;
}

TerminationSignal::~TerminationSignal()
{
    if (m_installed)
        ::sigaction(SIGTERM, &m_previous, nullptr);
    signalPipe = -1;
    delete m_notifier;
    for (int fd : m_pipe)
        if (fd >= 0)
            ::close(fd);
}

void TerminationSignal::received()
{
    char bytes[16];
    while (::read(m_pipe[0], bytes, sizeof bytes) > 0) {
    }
    qCInfo(lcApp, "Asked to end (SIGTERM)");
    // On the main thread the quit request is handled before quit() returns: the application is
    // ending, or the quit guard kept it open with its question.
    QCoreApplication::quit();
    if (m_installed)
        ::sigaction(SIGTERM, &handling(), nullptr);
}

} // namespace hf
