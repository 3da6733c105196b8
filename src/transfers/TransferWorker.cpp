#include "TransferWorker.h"

#include <QMutexLocker>
#include <QTcpSocket>

#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace
{
// A slice that timed out on a socket that is still open is not a failure yet.
bool StillWaiting(const QTcpSocket* ip_socket, const QElapsedTimer& i_waited)
{
    return ip_socket->state() == QAbstractSocket::ConnectedState
           && ip_socket->error() == QAbstractSocket::SocketTimeoutError && i_waited.elapsed() < TransferWorker::WaitMs;
}
} // namespace

TransferWorker::TransferWorker(QTcpSocket* ip_socket)
    : m_socket(ip_socket)
    , m_home(QThread::currentThread())
{
    m_socket->setParent(nullptr);
    m_socket->moveToThread(this);
}

void TransferWorker::SignalExit()
{
    QMutexLocker lock(&m_exitMutex);
    m_exitRequested = true;
}

bool TransferWorker::ExitRequested()
{
    QMutexLocker lock(&m_exitMutex);
    return m_exitRequested;
}

template<typename F> TransferWorker::WaitResult TransferWorker::WaitInSlices(F i_slice)
{
    QElapsedTimer waited;
    waited.start();
    for (;;)
    {
        if (i_slice())
            return WaitResult::Done;
        if (!StillWaiting(m_socket, waited))
            return WaitResult::Failed;
        if (ExitRequested())
            return WaitResult::Exit;
    }
}

TransferWorker::WaitResult TransferWorker::WaitForReadyRead()
{
    const WaitResult result = WaitInSlices([this] { return m_socket->waitForReadyRead(SliceMs); });
    // Bytes that came with the close still count.
    return result == WaitResult::Failed && m_socket->bytesAvailable() > 0 ? WaitResult::Done : result;
}

TransferWorker::WaitResult TransferWorker::WaitForBytesWritten()
{
    return WaitInSlices([this] { return m_socket->waitForBytesWritten(SliceMs); });
}

TransferWorker::WaitResult TransferWorker::WaitForDisconnected()
{
    QElapsedTimer waited;
    waited.start();
    for (;;)
    {
        if (m_socket->state() == QAbstractSocket::UnconnectedState || m_socket->waitForDisconnected(SliceMs))
            return WaitResult::Done;
        m_socket->skip(m_socket->bytesAvailable());
        if (!StillWaiting(m_socket, waited))
            return m_socket->state() == QAbstractSocket::UnconnectedState ? WaitResult::Done : WaitResult::Failed;
        if (ExitRequested())
            return WaitResult::Exit;
    }
}

bool TransferWorker::Sleep(qint64 i_ms)
{
    QElapsedTimer slept;
    slept.start();
    for (qint64 left = i_ms; left > 0; left = i_ms - slept.elapsed())
    {
        if (ExitRequested())
            return false;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(left, SliceMs)));
    }
    return true;
}

bool TransferWorker::ProgressDue(bool i_last)
{
    if (i_last || !m_sinceReport.isValid() || m_sinceReport.elapsed() >= ProgressIntervalMs)
    {
        m_sinceReport.start();
        return true;
    }
    return false;
}

bool TransferWorker::Fail(const QString& i_reason)
{
    m_error = i_reason;
    return false;
}

bool TransferWorker::FailOnExit()
{
    m_error = QStringLiteral("Exit requested.");
    return false;
}

bool TransferWorker::Await(WaitResult i_result, const QString& i_failure)
{
    switch (i_result)
    {
    case WaitResult::Done: return true;
    case WaitResult::Exit: return FailOnExit();
    case WaitResult::Failed: break;
    }
    return Fail(i_failure + m_socket->errorString());
}

void TransferWorker::ReturnSocket()
{
    m_socket->moveToThread(m_home);
}

qint64 TransferWorker::SendNow(const char* i_data, qint64 i_length, bool i_more)
{
#ifdef Q_OS_UNIX
    if (m_socket->bytesToWrite() > 0 || m_socket->state() != QAbstractSocket::ConnectedState)
        return 0;
    const int flags = MSG_DONTWAIT | MSG_NOSIGNAL | (i_more ? MSG_MORE : 0);
    const auto sent = ::send(int(m_socket->socketDescriptor()), i_data, size_t(i_length), flags);
    return sent > 0 ? sent : 0;
#else
    Q_UNUSED(i_data)
    Q_UNUSED(i_length)
    Q_UNUSED(i_more)
    return 0;
#endif
}

qint64 TransferWorker::ReceiveNow(char* o_data, qint64 i_length)
{
#ifdef Q_OS_UNIX
    if (m_socket->bytesAvailable() > 0 || m_socket->state() != QAbstractSocket::ConnectedState)
        return 0;
    const auto got = ::recv(int(m_socket->socketDescriptor()), o_data, size_t(i_length), MSG_DONTWAIT);
    return got > 0 ? got : 0;
#else
    Q_UNUSED(o_data)
    Q_UNUSED(i_length)
    return 0;
#endif
}

int BytesPerSecond(qint64 i_bytes, qint64 i_elapsedMs)
{
    if (i_elapsedMs <= 0 || i_bytes <= 0)
        return 0;
    // A fast loopback moves more than an int holds per second; the figure goes to the server too.
    constexpr qint64 kFastest = std::numeric_limits<qint32>::max();
    if (i_bytes > std::numeric_limits<qint64>::max() / 1000)
        return static_cast<int>(kFastest);
    return static_cast<int>(std::min(i_bytes * 1000 / i_elapsedMs, kFastest));
}
