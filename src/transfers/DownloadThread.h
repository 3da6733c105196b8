#pragma once

#include "TransferWorker.h"

#include <array>

class QFile;

// Receives one file over a file connection after the offset has been sent: appends the bytes
// to the partial file until it has the expected size, then closes the connection.
class DownloadThread : public TransferWorker
{
    Q_OBJECT

public:
    // The socket and the file (open for appending) stay the engine's.
    DownloadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_fileSize, qint64 i_startOffset);

signals:
    void DownloadError(QString i_reason);
    void DownloadProgress(qint64 i_offset, int l_bytesPerSecond);
    void DownloadComplete();

protected:
    void run() override;

private:
    bool PerformDownload();

    QFile* m_file;
    qint64 m_fileSize;
    qint64 m_writePosition;
    std::array<char, ChunkSize> m_buffer{};
};
