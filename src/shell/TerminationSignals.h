#pragma once

#include <QObject>

class QSocketNotifier;

// Ends the program on SIGTERM, SIGINT and SIGHUP (a session logging out, a kill, a terminal
// closing) the way closing the window does: the event loop quits and the shutdown that saves
// the data file runs. The handler only writes a byte to a pipe; the quit happens on the GUI
// thread. A second signal of the same kind ends the program at once, should the shutdown hang.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* ip_parent = nullptr);
    ~TerminationSignals() override;

    // Whether a signal came; one that came before the event loop ran is seen here.
    bool Received() const { return m_received; }

private:
    void OnSignal();

    QSocketNotifier* mp_notifier = nullptr;
    bool m_received = false;
};
