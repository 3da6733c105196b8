#include "UploadThread.h"

#include "PeerConnection.h"
#include "UploadSpeedLimiter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QtEndian>

UploadThread::UploadThread(QTcpSocket* ip_socket, QFile* ip_file, quint32 i_transferReq, SharedUploadLimit& i_limit)
    : TransferWorker(ip_socket)
    , m_file(ip_file)
    , m_transferReq(i_transferReq)
    , m_limit(i_limit)
{
}

void UploadThread::run()
{
    const bool ok = PerformUpload();
    ReturnSocket();
    if (ok)
        emit UploadComplete();
    else
        emit UploadError(m_error);
}

bool UploadThread::ReadOffset(qint64& o_offset)
{
    char bytes[8];
    qint64 have = 0;
    while (have < 8)
    {
        if (m_socket->bytesAvailable() == 0
            && !Await(WaitForReadyRead(),
                      QStringLiteral("Waiting for initialization data to read failed. Error string: ")))
            return false;
        const qint64 got = m_socket->read(bytes + have, 8 - have);
        if (got < 0)
            return Fail(QStringLiteral("Socket read failed. Error string: ") + m_socket->errorString());
        have += got;
    }
    o_offset = qFromLittleEndian<qint64>(bytes);
    return true;
}

bool UploadThread::WriteChunk(qint64 i_length, bool i_more)
{
    // Most chunks fit into the kernel's buffer at once; the socket's own buffer and its waits
    // take only what is left.
    qint64 accepted = SendNow(m_buffer.data(), i_length, i_more);
    while (accepted < i_length)
    {
        const qint64 written = m_socket->write(m_buffer.data() + accepted, i_length - accepted);
        if (written < 0)
            return Fail(QStringLiteral("Writing to socket failed. Error string: ") + m_socket->errorString());
        accepted += written;
        // Straight into the kernel where it has room; only a full buffer is waited for.
        m_socket->flush();
        // Counted with what waits for all peers while it waits here.
        const qint64 waiting = m_socket->bytesToWrite();
        PeerConnection::CountFileConnectionBytes(waiting);
        const auto uncount = qScopeGuard([waiting] { PeerConnection::CountFileConnectionBytes(-waiting); });
        while (m_socket->bytesToWrite() > 0)
            if (!Await(WaitForBytesWritten(),
                       QStringLiteral("Waiting for bytes to be written to socket failed. Error string: ")))
                return false;
    }
    return true;
}

bool UploadThread::PerformUpload()
{
    char token[4];
    qToLittleEndian<quint32>(m_transferReq, token);
    m_socket->write(token, 4);
    m_socket->flush();

    qint64 offset = 0;
    if (!ReadOffset(offset))
        return false;

    const qint64 size = m_file->size();
    // Offset == size: the downloader has the whole file already; nothing to send, and no
    // failure to report for a transfer that is in fact done.
    if (offset < 0 || offset > size)
        return Fail(QStringLiteral("Won't seek to offset %1 in file of size %2").arg(offset).arg(size));
    if (!m_file->seek(offset))
        return Fail(QStringLiteral("Seeking to starting offset %1 failed. Error string: ").arg(offset)
                    + m_file->errorString());

    QElapsedTimer measured;
    measured.start();
    qint64 measuredBytes = 0;
    QElapsedTimer window;
    window.start();
    UploadSpeedLimiter limiter(
        m_limit, [&window] { return window.nsecsElapsed(); }, [this](qint64 i_ms) { return Sleep(i_ms); });
    limiter.Start();

    qint64 position = offset;
    while (position < size)
    {
        if (ExitRequested())
            return FailOnExit();
        bool limitChanged = false;
        if (!limiter.Step(limitChanged))
        {
            return FailOnExit();
        }
        if (limitChanged)
        {
            measured.restart();
            measuredBytes = 0;
        }

        const qint64 chunk = qMin<qint64>(ChunkSize, size - position);
        if (m_file->read(m_buffer.data(), chunk) != chunk)
            return Fail(QStringLiteral("Reading from file failed. Error string: ") + m_file->errorString());
        // Without a limit the next chunk follows at once; the kernel then sends full segments
        // instead of one per chunk. The last chunk, or any under a limit, goes out as it is.
        if (!WriteChunk(chunk, limiter.Limit() == 0 && position + chunk < size))
            return false;

        position += chunk;
        measuredBytes += chunk;
        limiter.Sent(chunk);
        if (ProgressDue(position == size))
            emit UploadProgress(position, BytesPerSecond(measuredBytes, measured.elapsed()));
        limiter.ChunkDone();
    }

    // The downloader closes once it has everything; a stop cuts this wait short.
    WaitForDisconnected();
    return true;
}
