#pragma once

#include "TransferWorker.h"

#include <array>

class QFile;
class SharedUploadLimit;

// Sends one shared file over a file connection: the token, then, from the offset the
// downloader answers, the file's bytes in chunks, within the engine's speed limit.
class UploadThread : public TransferWorker
{
    Q_OBJECT

public:
    // The socket and the open file stay the engine's; of the engine the thread sees only the
    // shared part of the speed limit, which outlives it.
    UploadThread(QTcpSocket* ip_socket, QFile* ip_file, quint32 i_transferReq, SharedUploadLimit& i_limit);

signals:
    void UploadError(QString i_reason);
    void UploadProgress(qint64 i_offset, int l_bytesPerSecond);
    void UploadComplete();

protected:
    void run() override;

private:
    bool PerformUpload();
    bool ReadOffset(qint64& o_offset);
    // i_more: the next chunk follows without a pause.
    bool WriteChunk(qint64 i_length, bool i_more);

    QFile* m_file;
    quint32 m_transferReq;
    SharedUploadLimit& m_limit;
    std::array<char, ChunkSize> m_buffer{};
};
