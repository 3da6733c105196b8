#include "DownloadThread.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>

DownloadThread::DownloadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_fileSize, qint64 i_startOffset)
    : TransferWorker(ip_socket)
    , m_file(ip_file)
    , m_fileSize(i_fileSize)
    , m_writePosition(i_startOffset)
{
}

void DownloadThread::run()
{
    const bool ok = PerformDownload();
    ReturnSocket();
    m_file->close();
    if (ok)
        emit DownloadComplete();
    else
        emit DownloadError(m_error);
}

bool DownloadThread::PerformDownload()
{
    QElapsedTimer measured;
    measured.start();
    qint64 received = 0;
    if (m_writePosition > m_fileSize)
        return Fail(QStringLiteral("Socket read failed. Error string: the partial file is longer than the file"));

    // A partial file that already holds the whole file moves nothing; it is reported once.
    do
    {
        if (ExitRequested())
            return FailOnExit();
        const qint64 chunk = qMin<qint64>(ChunkSize, m_fileSize - m_writePosition);
        qint64 have = 0;
        while (have < chunk)
        {
            qint64 got = ReceiveNow(m_buffer.data() + have, chunk - have);
            if (got == 0)
                got = m_socket->read(m_buffer.data() + have, chunk - have);
            if (got < 0)
                return Fail(QStringLiteral("Socket read failed. Error string: ") + m_socket->errorString());
            have += got;
            if (have < chunk && m_socket->bytesAvailable() == 0
                && !Await(WaitForReadyRead(), QStringLiteral("Waiting for data to read failed. Error string: ")))
                return false;
        }

        m_writePosition += chunk;
        received += chunk;
        if (m_file->write(m_buffer.data(), chunk) != chunk)
            return Fail(QStringLiteral("Writing to file failed. Error string: ") + m_file->errorString());
        if (ProgressDue(m_writePosition == m_fileSize))
            emit DownloadProgress(m_writePosition, BytesPerSecond(received, measured.elapsed()));
    } while (m_writePosition != m_fileSize);

    m_socket->close();
    return true;
}
