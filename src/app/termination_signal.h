#pragma once

// The end the desktop asks for at logout or shutdown (SIGTERM) taken as the application's quit
// request, so that it quits as every other way does: through the quit guard, its windows closed and
// its services gone in order. The signal handler only writes a byte to a pipe; the byte is read on
// the main thread, which asks for the quit. While this object lives, SIGTERM no longer kills the
// process outright; its end puts the earlier handling back.

#include <QObject>

#include <csignal>

class QSocketNotifier;

namespace hf {

class TerminationSignal : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignal(QObject* parent = nullptr);
    ~TerminationSignal() override;

private:
    void received();

    int m_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
    struct sigaction m_previous {};
    bool m_installed = false;
};

} // namespace hf
