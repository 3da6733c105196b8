#include "TerminationSignals.h"

#include "Log.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Written by the handler, read on the GUI thread.
int g_pipe[2] = {-1, -1};

void Handle(int i_signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(i_signal);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}
} // namespace

TerminationSignals::TerminationSignals(QObject* ip_parent)
    : QObject(ip_parent)
{
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    mp_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(mp_notifier, &QSocketNotifier::activated, this, &TerminationSignals::OnSignal);
    struct sigaction action = {};
    action.sa_handler = Handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    if (!mp_notifier)
        return;
    for (int signal : kSignals)
        ::signal(signal, SIG_DFL);
    delete mp_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void TerminationSignals::OnSignal()
{
    unsigned char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1)
    {
        Log(QStringLiteral("Shutdown"), 1, QStringLiteral("Signal %1 received; shutting down").arg(int(byte)));
        m_received = true;
    }
    QCoreApplication::quit();
}
