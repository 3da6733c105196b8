#pragma once

#include "TransferThread.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QString>

class QTcpSocket;

// What the upload and download threads share: the exit flag, and socket waits cut into short
// slices so that a stop request is seen within a slice whatever the peer does, while a wait
// as a whole still fails only after its full time limit.
class TransferWorker : public TransferThread
{
public:
    static constexpr int WaitMs = 30000;
    static constexpr int SliceMs = 50;
    static constexpr int ChunkSize = 8192;
    // Progress goes to the GUI thread at most this often (the first and the last chunk always),
    // so a fast transfer never floods its event queue.
    static constexpr int ProgressIntervalMs = 100;

    void SignalExit() override;

    QString Error() const { return m_error; }

protected:
    // Takes the socket over: no parent, moved to this thread (call on the socket's thread).
    explicit TransferWorker(QTcpSocket* ip_socket);

    enum class WaitResult
    {
        Done,
        Failed,
        Exit
    };

    bool ExitRequested();
    WaitResult WaitForReadyRead();
    WaitResult WaitForBytesWritten();
    // Bytes the peer sends meanwhile are dropped.
    WaitResult WaitForDisconnected();
    // false: a stop was asked for before the time was up.
    bool Sleep(qint64 i_ms);

    bool ProgressDue(bool i_last);
    // Records the reason; false, so that a step can end with it.
    bool Fail(const QString& i_reason);
    // The same for a stop request.
    bool FailOnExit();
    // The outcome of a wait: true when it is done, otherwise false with the error set as above,
    // a failure as i_failure followed by the socket's error text.
    bool Await(WaitResult i_result, const QString& i_failure);
    // Back to the thread that created this one, before the final signal.
    void ReturnSocket();

    // Straight between the kernel and i_data, past the socket's own buffer, as far as that
    // is possible without waiting and without reordering bytes the socket still holds. 0: the
    // caller goes the socket's way, which waits and reports errors as usual.
    // i_more: more bytes follow at once, so the kernel may hold these back to fill a segment.
    qint64 SendNow(const char* i_data, qint64 i_length, bool i_more = false);
    qint64 ReceiveNow(char* o_data, qint64 i_length);

    QTcpSocket* m_socket;
    QMutex m_exitMutex;
    bool m_exitRequested = false;
    QString m_error;

private:
    // One wait, cut into slices; i_slice waits one slice and says whether it finished.
    template<typename F> WaitResult WaitInSlices(F i_slice);

    QThread* m_home;
    QElapsedTimer m_sinceReport;
};

// Bytes since a start, as the speed of a transfer in bytes per second, at most the largest int.
int BytesPerSecond(qint64 i_bytes, qint64 i_elapsedMs);
