#pragma once

// The ends asked of the application from outside taken as its quit request, so that it quits as
// every other way does: through the quit guard, its windows closed and its services gone in order.
// SIGTERM is what the desktop sends at logout or shutdown (with SIGHUP right after it, as
// systemd-logind ends a session), SIGINT is Ctrl+C in the terminal that started it. The signal
// handler only writes a byte to a pipe; the byte is read on the main thread, which asks for the
// quit.
//
// While finished work would be lost (see setHolding()), no such signal ends the process: each one
// asks the quit question again. Otherwise a further signal that comes before the main thread took
// the first (a main thread held, waiting for the keyring's answer, say) ends the process at once,
// as the desktop's end of a session expects, once the handler removed what exports under way
// were writing into the user's folders (see ExportTemporaries).
//
// install() sets the handlers up as the first thing the program does; signals that come before
// this object exists wait in the pipe and ask for the quit once the event loop runs. This object's
// end puts the earlier handling back.

#include <QObject>

class QSocketNotifier;

namespace hf {

class TerminationSignal : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignal(QObject* parent = nullptr);
    ~TerminationSignal() override;

    // Catches SIGTERM, SIGHUP and SIGINT from now on (once; later calls do nothing). Cheap: a pipe
    // and three sigaction calls. False when the pipe could not be made (the signals then keep
    // their default action).
    static bool install();

    // Whether finished work would be lost if the process ended now: no signal ends it then.
    static void setHolding(bool holding);

private:
    void received();

    QSocketNotifier* m_notifier = nullptr;
};

} // namespace hf
