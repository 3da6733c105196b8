// The headless client harness: the engine libraries in a process of their own, driven line by
// line over stdin, answering on stdout. Tests start several to have several real clients, since
// the store and the managers are per-process singletons.
//
// Two builds of the client, chosen by the first argument:
//   (none)   the peer network and the distributed network alone; peer messages are sent and
//            file connections served by the commands below (raw peer tests)
//   full     the whole engine: also the shares engine (answering searches, shares lists and
//            folder contents) and the transfer engine (queues, uploads, downloads)
//
// Commands (fields separated by one blank, each percent-encoded, "%" for an empty field):
//   set KEY VALUE            a setting
//   start                    ends the load (first start): the ports open; answers "ports P S"
//   login                    connects to the server; "event Connected" follows
//   scrambled 0|1            whether outgoing connections use a reported scrambled port
//   timeouts OPENER IDLE ATTEMPT   time limits in ms
//   addresskeep MS           how long an address from the server is kept
//   tick                     the half-minute tick
//   clock MS                 the transfer engine's clock jumps MS ahead and stays there
//   online USER              answers "online 0|1", as the server last reported the user
//   send USER HEX            SendMessage with the given message bytes
//   userinfo USER | shares USER | queuedownload USER FILE | queueupload USER FILE SIZE
//   requestupload USER FILE SIZE  answers "token N"
//   accept USER TOKEN 0|1 SIZE | deny USER TOKEN REASON | denyupload USER FILE REASON
//   place USER FILE N | fileconn USER | dconn USER [IP PORT]
//   folder USER PORT TOKEN FOLDER  asks for a folder's contents (36) on a message connection of
//                            its own to PORT; the reply comes as "event FolderContents USER TOKEN
//                            FOLDER FILES" (FILES: "name:size" joined by "|")
//   count                    answers "count CONNECTIONS ATTEMPTS"
//   connections              answers "connections CONNECTIONS LIMIT OUTGOING", peer connections
//                            held, the most that may be, and how many of them are outgoing
//   waiting                  answers "waiting BYTES", the bytes waiting to be sent to peers
//   search TEXT              a file search through the server; answers "searchtoken N"
//   join ROOM | leave ROOM | say ROOM TEXT   room chat through the server; every line of a
//                            joined room comes as "event RoomChat ROOM USER TEXT"
//   pm USER TEXT             a private message; each one received comes as "event PrivateChat
//                            USER TEXT NEW" (NEW: 1 when sent live, 0 when kept for this login)
//   dnet                     answers "dnet PARENT LEVEL ROOT CHILDREN"
//   ping                     answers "pong" (everything before it has been handled)
//   lag start|stop           start: a side thread posts an event to this (the GUI) thread every
//                            5 ms; stop: answers "lag WORST_US", the longest any of them waited
//   mute                     events are only counted from now on; "tally NAME" answers "tally N"
//   flood USER N [BYTES]     sends N small messages (44) to the user at once; each names a file
//                            of BYTES characters when given
//   setupbench USER N        N file connections to the user one after the other; answers
//                            "setup MEDIAN_US" (the time from the request to the accepted socket)
//   quit
// Peer-network build only:
//   serveshares HEX [MS]     the answer to shares-list requests; building each one holds this
//                            thread MS ms, as a large share does
//   serveinfo BYTES          user-information requests are answered, each with a reply built
//                            afresh around a picture of BYTES bytes, as the users window does
//   servefolder BYTES [FOLDER SMALL]  folder-contents requests are answered, each with a reply
//                            built afresh: code 37, the request's token, then BYTES filler bytes
//                            (SMALL for a request for FOLDER)
//   upload TOKEN PATH        the next accepted file connection sends the token, reads the
//                            offset, then the file from there; "uploaded TOKEN BYTES OK" at the end
//   download TOKEN PATH SIZE the requested file connection with that token gets the size of
//                            PATH as offset, then appends until SIZE; "downloaded TOKEN BYTES OK"
// Whole-engine build only:
//   share PATH [public|userlist|group NAME]  shares a folder (public when no mark is given);
//                            answers "shared FILES" (all shared files so far)
//   listuser USER [GROUP...] puts the user in the user list, in the groups
//   unshare USER | reshare USER   stops or resumes sharing with the user
//   slots N                  the number of upload slots
//   limit                    applies the speed-limit settings
//   adddownload USER PATH SIZE  queues a download of the remote path
//   status USER PATH         a download: answers "status STATUS BYTES PLACE REASON" (bytes
//                            written so far or -1, place in line or -1, denial reason)
//   placeinline USER PATH    asks the uploader for the download's place in line (51)
//   upstatus USER PATH       an upload by the path as requested: answers "upstatus STATUS PLACE"
//                            ("upstatus none -1" when there is none)
// Events: "event NAME FIELDS..." for every signal of the peer messenger and the server state;
// in the whole-engine build also "event Result USER PATH SIZE" per search result, "event
// SearchProcessed QUERY 0|1" per search answered, "event Complete USER FILE" per finished download.
// "event UserShare USER FOLDERS FILES LIST" lists a received shares list: each folder as
// "folder\" and each file as "folder\name:size", sorted, joined by "|".

#include "Compression.h"
#include "EngineClock.h"
#include "EngineStack.h"
#include "FrameCodec.h"
#include "PeerMessages.h"
#include "SharedFolderInfo.h"
#include "TextUtils.h"
#include "TransferCells.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace
{
QByteArray Enc(const QString& i_text)
{
    const QByteArray encoded = QUrl::toPercentEncoding(i_text);
    return encoded.isEmpty() ? QByteArray("%") : encoded; // "%" marks an empty field
}

QByteArray Enc(const std::string& i_bytes)
{
    return Enc(QString::fromUtf8(i_bytes.data(), int(i_bytes.size())));
}

QString Dec(const QByteArray& i_field)
{
    return i_field == "%" ? QString() : QUrl::fromPercentEncoding(i_field);
}

void Say(const QByteArray& i_line)
{
    std::fwrite(i_line.constData(), 1, size_t(i_line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// While muted, events are only counted (for benchmarks).
bool g_muted = false;
QHash<QByteArray, qint64> g_tally;

void Event(const char* ip_name, const QList<QByteArray>& i_fields)
{
    if (g_muted)
    {
        ++g_tally[ip_name];
        return;
    }
    QByteArray line = QByteArray("event ") + ip_name;
    for (const QByteArray& field : i_fields)
        line += ' ' + field;
    Say(line);
}

QByteArray Num(qint64 i_value)
{
    return QByteArray::number(i_value);
}

// Moves the file bytes of one handed-over socket on a thread of its own, with blocking calls.
class FileMover : public QThread
{
public:
    FileMover(QTcpSocket* ip_socket, bool i_uploader, quint32 i_token, QString i_path, qint64 i_size)
        : m_socket(ip_socket)
        , m_uploader(i_uploader)
        , m_token(i_token)
        , m_path(std::move(i_path))
        , m_size(i_size)
    {
    }

    qint64 m_moved = 0;
    bool m_ok = false;

protected:
    void run() override
    {
        m_ok = m_uploader ? Upload() : Download();
        m_socket->close();
        delete m_socket;
    }

private:
    bool ReadExactly(char* op_data, qint64 i_length)
    {
        qint64 done = 0;
        while (done < i_length)
        {
            if (m_socket->bytesAvailable() == 0 && !m_socket->waitForReadyRead(10000))
                return false;
            const qint64 got = m_socket->read(op_data + done, i_length - done);
            if (got < 0)
                return false;
            done += got;
        }
        return true;
    }

    bool WriteAll(const char* ip_data, qint64 i_length)
    {
        if (m_socket->write(ip_data, i_length) != i_length)
            return false;
        while (m_socket->bytesToWrite() > 0)
            if (!m_socket->waitForBytesWritten(10000))
                return false;
        return true;
    }

    bool Upload()
    {
        char token[4];
        qToLittleEndian<quint32>(m_token, reinterpret_cast<uchar*>(token));
        if (!WriteAll(token, 4))
            return false;
        char offsetBytes[8];
        if (!ReadExactly(offsetBytes, 8))
            return false;
        const qint64 offset = qFromLittleEndian<qint64>(reinterpret_cast<const uchar*>(offsetBytes));
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly) || offset < 0 || !file.seek(offset))
            return false;
        char chunk[8192];
        qint64 got = 0;
        while ((got = file.read(chunk, sizeof chunk)) > 0)
        {
            if (!WriteAll(chunk, got))
                return false;
            m_moved += got;
        }
        // The downloader closes once it has everything.
        while (m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->waitForReadyRead(10000);
        return true;
    }

    bool Download()
    {
        QFile file(m_path);
        if (!file.open(QIODevice::Append))
            return false;
        const qint64 offset = file.size();
        char offsetBytes[8];
        qToLittleEndian<qint64>(offset, reinterpret_cast<uchar*>(offsetBytes));
        if (!WriteAll(offsetBytes, 8))
            return false;
        char chunk[8192];
        while (offset + m_moved < m_size)
        {
            const qint64 want = qMin<qint64>(sizeof chunk, m_size - offset - m_moved);
            if (m_socket->bytesAvailable() == 0 && !m_socket->waitForReadyRead(10000))
                return false;
            const qint64 got = m_socket->read(chunk, want);
            if (got < 0 || file.write(chunk, got) != got)
                return false;
            m_moved += got;
        }
        file.close();
        m_socket->disconnectFromHost();
        return true;
    }

    QTcpSocket* m_socket;
    bool m_uploader;
    quint32 m_token;
    QString m_path;
    qint64 m_size;
};

// Asks another client for folder contents (36) on a message connection of its own, so that the
// reply (37), which the peer network does not read, comes back here. The other side answers on
// its newest connection to us, and that is this one once it has read our opener.
class FolderAsker : public QObject
{
public:
    FolderAsker(QString i_user, quint16 i_port)
        : m_user(std::move(i_user))
        , m_codec(FrameCodec::Create(false))
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, &FolderAsker::OnReadyRead);
        m_socket.connectToHost(QHostAddress::LocalHost, i_port);
        MemStream opener;
        OutputStream out(opener);
        out.Write(quint8(1));
        out.Write(GetSetting(QStringLiteral("username")));
        out.Write(QStringLiteral("P"));
        out.Write(quint32(0));
        Send(opener);
    }

    void Ask(quint32 i_token, const QString& i_folder)
    {
        MemStream request;
        OutputStream out(request);
        out.Write(quint32(PM_GET_SHARED_FILES_IN_FOLDER));
        out.Write(i_token);
        out.Write(i_folder);
        Send(request);
    }

private:
    void Send(const MemStream& i_payload)
    {
        QByteArray wire;
        m_codec->Encode(i_payload.GetBuffer(), int(i_payload.GetLength()), wire);
        m_socket.write(wire);
    }

    void OnReadyRead()
    {
        m_buffer += m_socket.readAll();
        int pos = 0;
        QByteArray payload;
        while (m_codec->Take(m_buffer, pos, payload) == FrameCodec::Status::Complete)
            Report(payload);
        m_buffer.remove(0, pos);
    }

    void Report(const QByteArray& i_payload)
    {
        MemStream message(i_payload);
        InputStream in(message);
        quint32 code = 0;
        MemStream body;
        if (!in.Read(code) || code != PM_SHARED_FILES_IN_FOLDER || !InflateBody(message, body))
            return Event("FolderContentsUnreadable", {Enc(m_user), Num(code)});
        InputStream reader(body);
        quint32 token = 0;
        quint32 folders = 0;
        std::string folder;
        std::string again;
        SharedFolderInfo files;
        if (!reader.Read(token) || !reader.Read(folder) || !reader.Read(folders) || folders != 1 || !reader.Read(again)
            || again != folder || !files.Read(reader))
            return Event("FolderContentsUnreadable", {Enc(m_user), Num(code)});
        QStringList list;
        for (const FileInfo& file : files.m_files)
            list << QString::fromStdString(file.m_name) + QLatin1Char(':') + QString::number(file.m_size);
        Event("FolderContents", {Enc(m_user), Num(token), Enc(folder), Enc(list.join(QLatin1Char('|')))});
    }

    QString m_user;
    QTcpSocket m_socket;
    std::unique_ptr<FrameCodec> m_codec;
    QByteArray m_buffer;
};

class Harness : public QObject
{
public:
    explicit Harness(bool i_full)
        : m_full(i_full)
        , m_engines(EngineStack::ServerConnection | EngineStack::Peers | EngineStack::DNet
                    | (i_full ? EngineStack::Invoker | EngineStack::Shares | EngineStack::Transfers : 0u))
    {
        Wire();
        m_lagClock.start();
        m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_stdin, &QSocketNotifier::activated, this, &Harness::OnInput);
    }

    ~Harness() override
    {
        StopLagProbe();
        for (FileMover* mover : m_movers)
        {
            mover->wait(20000);
            delete mover;
        }
        qDeleteAll(m_askers);
    }

private:
    void Wire()
    {
        PeerMessenger* pm = peerMessenger;
        connect(gp_server, &Server::Connected, this, [] { Event("Connected", {}); });
        connect(gp_server, &Server::RoomChat, this, [](QString r, QString u, QString text) {
            Event("RoomChat", {Enc(r), Enc(u), Enc(text)});
        });
        connect(gp_server, &Server::PrivateChat, this, [](QString u, QString text, time_t, bool isNew) {
            Event("PrivateChat", {Enc(u), Enc(text), Num(isNew)});
        });
        connect(gp_server, &Server::ConnectionFailed, this,
                [](QString i_reason) { Event("ConnectionFailed", {Enc(i_reason)}); });
        connect(pm, &PeerMessenger::FileTransferRequested, this,
                [](QString u, int dir, uint req, std::string file, qint64 size) {
                    Event("FileTransferRequested", {Enc(u), Num(dir), Num(req), Enc(file), Num(size)});
                });
        connect(pm, &PeerMessenger::FileTransferResponse, this,
                [](QString u, uint req, bool ok, bool hasSize, qint64 size, QString reason) {
                    Event("FileTransferResponse", {Enc(u), Num(req), Num(ok), Num(hasSize), Num(size), Enc(reason)});
                });
        connect(pm, &PeerMessenger::QueueUploadRequested, this, [](QString u, QString file) {
            Event("QueueUploadRequested", {Enc(u), Enc(file)});
        });
        connect(pm, &PeerMessenger::DownloadPlaceInLine, this, [](QString u, std::string file, int place) {
            Event("DownloadPlaceInLine", {Enc(u), Enc(file), Num(place)});
        });
        connect(pm, &PeerMessenger::UploadFailed, this, [](QString u, std::string file) {
            Event("UploadFailed", {Enc(u), Enc(file)});
        });
        connect(pm, &PeerMessenger::UploadDenied, this, [](QString u, std::string file, QString reason) {
            Event("UploadDenied", {Enc(u), Enc(file), Enc(reason)});
        });
        connect(pm, &PeerMessenger::UploadPlaceInLineRequested, this, [](QString u, QString file) {
            Event("UploadPlaceInLineRequested", {Enc(u), Enc(file)});
        });
        connect(pm, &PeerMessenger::QueueDownloadRequested, this, [](QString u, std::string file, qint64 size) {
            Event("QueueDownloadRequested", {Enc(u), Enc(file), Num(size)});
        });
        connect(
            pm, &PeerMessenger::UserShare, this,
            [](QString u, FileInfoMap& share, AttributeTranslationTable&) {
                qint64 files = 0;
                QStringList list;
                for (const auto& folder : share)
                {
                    const QString name = QString::fromStdString(folder.first);
                    list << name + QLatin1Char('\\');
                    for (const FileInfo& file : folder.second)
                        list << name + QLatin1Char('\\') + QString::fromStdString(file.m_name) + QLatin1Char(':')
                                    + QString::number(file.m_size);
                    files += qint64(folder.second.size());
                }
                list.sort();
                Event("UserShare", {Enc(u), Num(qint64(share.size())), Num(files), Enc(list.join(QLatin1Char('|')))});
            },
            Qt::DirectConnection);
        connect(pm, &PeerMessenger::SharedFilesInFolderRequested, this, [](QString u, quint32 req, QString folder) {
            Event("SharedFilesInFolderRequested", {Enc(u), Num(req), Enc(folder)});
        });
        connect(pm, &PeerMessenger::UserInfoRequested, this, [](QString u) { Event("UserInfoRequested", {Enc(u)}); });
        connect(pm, &PeerMessenger::UserInfoReceived, this,
                [](QString u, QString text, bool hasPicture, char* picture, int length, int uploadSlots, int queued,
                   bool freeSlot) {
                    Event("UserInfoReceived",
                          {Enc(u), Enc(text), Num(hasPicture), QByteArray(picture, length).toHex() + "-",
                           Num(uploadSlots), Num(queued), Num(freeSlot)});
                });
        connect(pm, &PeerMessenger::SearchResults, this, [](ItemPtr results) {
            Event("SearchResults", {Enc(results["user"].AsString()), Enc(results["search_request"].AsString()),
                                    Num(qint64(results.GetItems("search_result").size()))});
        });
        connect(pm, &PeerMessenger::ConnectionToUserFailed, this, [](QString u, QString type) {
            Event("ConnectionToUserFailed", {Enc(u), Enc(type)});
        });
        connect(pm, &PeerMessenger::DistributedConnectionEstablished, this, [](QString u, PeerConnection*) {
            Event("DistributedConnectionEstablished", {Enc(u)}); // the distributed network owns it
        });
        connect(pm, &PeerMessenger::DistributedConnectionReceived, this,
                [](QString u, PeerConnection*) { Event("DistributedConnectionReceived", {Enc(u)}); });
        WireDistributed();
        if (m_full)
            WireEngines();
        else
        {
            // Without the transfer engine the file connections are served here.
            connect(pm, &PeerMessenger::FileConnectionAccepted, this, &Harness::OnFileConnectionAccepted);
            connect(pm, &PeerMessenger::FileConnectionRequested, this, &Harness::OnFileConnectionRequested);
        }
    }

    void WireEngines()
    {
        connect(peerMessenger, &PeerMessenger::SearchResults, this, [](ItemPtr i_results) {
            for (const ItemPtr& result : i_results.GetItems("search_result"))
            {
                const QString folder = result["search_result_file_folder"].AsString();
                const QString path = (folder.isEmpty() ? QString() : folder + QLatin1Char('\\'))
                                     + result["search_result_file_name"].AsString();
                Event("Result", {Enc(i_results["user"].AsString()), Enc(path), Num(result["file_size"].AsInt64())});
            }
        });
        connect(sharedFoldersManager, &SharedFoldersManager::SearchProcessed, this, [](QString i_search, bool i_sent) {
            Event("SearchProcessed", {Enc(i_search), Num(i_sent)});
        });
        connect(transferQueueManager, &TransferQueueManager::CompleteDownloadAdded, this, [](ItemPtr i_record) {
            Event("Complete",
                  {Enc(i_record["user"].AsString()), Enc(i_record["complete_download_filename"].AsString())});
        });
    }

    void WireDistributed()
    {
        connect(gp_server, &Server::DirectFileSearch, this, [](QString u, quint32 req, QString text) {
            Event("DirectFileSearch", {Enc(u), Num(req), Enc(text)});
        });
        connect(dnetManager, &DNetManager::DNetSearchRequest, this, [](QString u, quint32 req, QString text) {
            Event("DNetSearchRequest", {Enc(u), Num(req), Enc(text)});
        });
        connect(dnetManager, &DNetManager::ParentChanged, this, [](QString u) { Event("ParentChanged", {Enc(u)}); });
        connect(dnetManager, &DNetManager::ChildrenChanged, this, [](int n) { Event("ChildrenChanged", {Num(n)}); });
        // The files of each answer, "folder\\name:size" joined by "|".
        connect(peerMessenger, &PeerMessenger::SearchResults, this, [](ItemPtr results) {
            QStringList files;
            for (ItemPtr result : results.GetItems("search_result"))
                files.append(result["search_result_file_folder"].AsString() + '\\'
                             + result["search_result_file_name"].AsString() + ':' + result["file_size"].AsString());
            files.sort();
            Event("SearchResultFiles",
                  {Enc(results["user"].AsString()), Enc(results["search_request"].AsString()), Enc(files.join('|'))});
        });
    }

    struct PendingUpload
    {
        quint32 token;
        QString path;
    };

    void OnFileConnectionAccepted(QString i_user, QTcpSocket* ip_socket)
    {
        if (m_setupRemaining > 0)
        {
            m_setupTimes.push_back(m_setupTimer.nsecsElapsed() / 1000);
            // Handed over from inside a signal of the socket, which goes on using it once this returns.
            ip_socket->deleteLater();
            if (--m_setupRemaining > 0)
            {
                m_setupTimer.start();
                peerMessenger->RequestFileConnectionToUser(i_user);
            }
            else
            {
                std::sort(m_setupTimes.begin(), m_setupTimes.end());
                Say("setup " + Num(m_setupTimes[m_setupTimes.size() / 2]));
            }
            return;
        }
        Event("FileConnectionAccepted", {Enc(i_user), Num(ip_socket->parent() == nullptr)});
        if (m_uploads.isEmpty())
        {
            ip_socket->deleteLater();
            return;
        }
        const PendingUpload upload = m_uploads.takeFirst();
        StartMover(ip_socket, true, upload.token, upload.path, 0);
    }

    void OnFileConnectionRequested(QString i_user, QTcpSocket* ip_socket, uint i_token)
    {
        Event("FileConnectionRequested", {Enc(i_user), Num(i_token), Num(ip_socket->parent() == nullptr)});
        auto found = m_downloads.find(i_token);
        if (found == m_downloads.end())
        {
            ip_socket->deleteLater();
            return;
        }
        StartMover(ip_socket, false, i_token, found->first, found->second);
        m_downloads.erase(found);
    }

    void StartMover(QTcpSocket* ip_socket, bool i_uploader, quint32 i_token, const QString& i_path, qint64 i_size)
    {
        auto* mover = new FileMover(ip_socket, i_uploader, i_token, i_path, i_size);
        ip_socket->moveToThread(mover);
        connect(mover, &QThread::finished, this, [mover, i_uploader, i_token] {
            Say(QByteArray(i_uploader ? "uploaded " : "downloaded ") + Num(i_token) + ' ' + Num(mover->m_moved) + ' '
                + Num(mover->m_ok));
        });
        m_movers.push_back(mover);
        mover->start();
    }

    void OnInput()
    {
        char buffer[65536];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0)
        {
            m_stdin->setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        m_input.append(buffer, int(got));
        int end;
        while ((end = m_input.indexOf('\n')) >= 0)
        {
            const QByteArray line = m_input.left(end).trimmed();
            m_input.remove(0, end + 1);
            if (!line.isEmpty())
                Run(line.split(' '));
        }
    }

    void Run(const QList<QByteArray>& i_words)
    {
        const QByteArray command = i_words.at(0);
        const auto arg = [&](int i_index) { return i_index < i_words.size() ? Dec(i_words.at(i_index)) : QString(); };
        const auto num = [&](int i_index) { return arg(i_index).toLongLong(); };
        PeerMessenger* pm = peerMessenger;
        if (command == "set")
            SetSetting(arg(1), arg(2));
        else if (command == "start")
        {
            dataSaver->NotifyFirstStart();
            Say("ports " + Num(pm->ListeningPort()) + ' ' + Num(pm->ScrambledListeningPort()));
        }
        else if (command == "login")
            gp_server->Connect();
        else if (command == "scrambled")
            pm->SetPreferScrambledPort(num(1) != 0);
        else if (command == "timeouts")
            pm->SetTimeouts(num(1), num(2), num(3));
        else if (command == "addresskeep")
            pm->SetAddressKeepTime(num(1));
        else if (command == "tick")
            timerManager->TickHalfMinute();
        else if (command == "save")
            Say("saved " + Num(dataSaver->SaveFile(arg(1)) ? 1 : 0));
        else if (command == "connections")
            Say("connections " + Num(pm->ConnectionCount()) + ' ' + Num(pm->IncomingConnectionLimit()) + ' '
                + Num(pm->OutgoingConnectionCount()));
        else if (command == "send")
        {
            MemStream message(QByteArray::fromHex(i_words.value(2)));
            pm->SendMessage(arg(1), message);
        }
        else if (command == "userinfo")
            pm->GetUserInfo(arg(1));
        else if (command == "shares")
            pm->GetUserSharedFiles(arg(1));
        else if (command == "queuedownload")
            pm->QueueDownload(arg(1), arg(2).toStdString());
        else if (command == "queueupload")
            pm->QueueUpload(arg(1), arg(2), num(3));
        else if (command == "requestupload")
            Say("token " + Num(pm->RequestUpload(arg(1), arg(2), num(3))));
        else if (command == "accept")
            pm->AcceptTransferRequest(arg(1), uint(num(2)), num(3) != 0, num(4));
        else if (command == "deny")
            pm->DenyTransferRequest(arg(1), uint(num(2)), arg(3));
        else if (command == "denyupload")
            pm->DenyUpload(arg(1), arg(2), arg(3));
        else if (command == "place")
            pm->SendUploadPlaceInLine(arg(1), arg(2), int(num(3)));
        else if (command == "fileconn")
            pm->RequestFileConnectionToUser(arg(1));
        else if (command == "dconn")
            pm->RequestDistributedConnectionToUser(arg(1), QHostAddress(arg(2)), quint16(num(3)));
        else if (!m_full && command == "serveshares")
        {
            const QByteArray bytes = QByteArray::fromHex(i_words.value(1));
            const qint64 buildMs = num(2);
            pm->SetSharedFilesMessageProvider([bytes, buildMs](const QString&) {
                QThread::msleep(ulong(buildMs));
                return MemStream(bytes);
            });
        }
        else if (!m_full && command == "serveinfo")
        {
            const int pictureBytes = int(num(1));
            connect(pm, &PeerMessenger::UserInfoRequested, this, [pictureBytes](QString i_user) {
                const QByteArray picture(pictureBytes, 'p');
                MemStream reply =
                    PeerMessages::BuildUserInfoReply(QStringLiteral("harness"), true, picture, 1, 0, true);
                if (peerMessenger)
                    peerMessenger->SendMessage(i_user, reply);
            });
        }
        else if (!m_full && command == "servefolder")
        {
            const int fillerBytes = int(num(1));
            const QString smallFolder = i_words.size() > 3 ? arg(2) : QString();
            const int smallBytes = int(num(3));
            connect(pm, &PeerMessenger::SharedFilesInFolderRequested, this,
                    [fillerBytes, smallFolder, smallBytes](QString i_user, quint32 i_req, QString i_folder) {
                        MemStream reply;
                        OutputStream out(reply);
                        out.Write(quint32(37));
                        out.Write(i_req);
                        const QByteArray filler(
                            !smallFolder.isEmpty() && i_folder == smallFolder ? smallBytes : fillerBytes, 'f');
                        reply.WriteBuffer(filler.constData(), size_t(filler.size()));
                        if (peerMessenger)
                            peerMessenger->SendMessage(i_user, reply);
                    });
        }
        else if (!m_full && command == "upload")
            m_uploads.append({quint32(num(1)), arg(2)});
        else if (!m_full && command == "download")
            m_downloads[quint32(num(1))] = {arg(2), num(3)};
        else if (command == "count")
            Say("count " + Num(pm->ConnectionCount()) + ' ' + Num(pm->AttemptCount()));
        else if (command == "waiting")
            Say("waiting " + Num(pm->WaitingBytes()));
        else if (command == "search")
            Say("searchtoken " + Num(gp_server->FileSearch(arg(1), false)));
        else if (command == "join")
            gp_server->EnterRoom(arg(1), false);
        else if (command == "leave")
            gp_server->LeaveRoom(arg(1));
        else if (command == "say")
            gp_server->SendRoomChat(arg(1), arg(2));
        else if (command == "pm")
            gp_server->SendPrivateChat(arg(1), arg(2));
        else if (command == "folder")
        {
            FolderAsker*& asker = m_askers[arg(1)];
            if (!asker)
                asker = new FolderAsker(arg(1), quint16(num(2)));
            asker->Ask(quint32(num(3)), arg(4));
        }
        else if (command == "online")
        {
            const ItemPtr user = d->GetType("user")->HasItem(Value(arg(1)));
            Say("online " + Num(user && user.IsConnected("is_online")));
        }
        else if (command == "clock")
            EngineClock::AdvanceForTest(num(1));
        else if (command == "dnet")
            Say("dnet " + Enc(dnetManager->ParentUser()) + ' ' + Num(dnetManager->BranchLevel()) + ' '
                + Enc(dnetManager->BranchRoot()) + ' ' + Num(dnetManager->ChildCount()));
        else if (command == "mute")
            g_muted = true;
        else if (command == "tally")
            Say("tally " + Num(g_tally.value(i_words.value(1))));
        else if (command == "flood")
        {
            const QString file = i_words.size() > 3 ? QString(int(num(3)), QLatin1Char('f')) : QStringLiteral("f");
            for (qint64 n = num(2); n > 0; --n)
                pm->SendUploadPlaceInLine(arg(1), file, int(n));
        }
        else if (command == "setupbench")
        {
            m_setupRemaining = int(num(2));
            m_setupTimes.clear();
            m_setupTimer.start();
            pm->RequestFileConnectionToUser(arg(1));
        }
        else if (m_full && RunEngineCommand(command, arg))
            ;
        else if (command == "lag" && arg(1) == QLatin1String("start"))
            StartLagProbe();
        else if (command == "lag")
        {
            StopLagProbe();
            // Queued behind the probe's last events, so that they count.
            QMetaObject::invokeMethod(
                this, [this] { Say("lag " + Num(m_worstLagNs / 1000)); }, Qt::QueuedConnection);
        }
        else if (command == "ping")
            Say("pong");
        else if (command == "quit")
            QCoreApplication::quit();
        else
            Say("error unknown command " + command);
    }

    template<typename Arg> bool RunEngineCommand(const QByteArray& i_command, const Arg& arg)
    {
        if (i_command == "share")
        {
            ItemPtr folder = sharedFoldersManager->AddSharedFolder(arg(1));
            const QString mark = arg(2);
            if (mark == QLatin1String("userlist"))
                folder.Connect(d->GetType("shared_userlist")->GetGlobalNullItem());
            else if (mark == QLatin1String("group"))
                folder.Connect(d->GetType("user_list_group")->GetItem(Value(arg(3))));
            else
                folder.Connect(d->GetType("shared_public")->GetGlobalNullItem());
            Say("shared " + Num(qint64(d->GetType("shared_file")->GetItemCount())));
        }
        else if (i_command == "listuser")
        {
            ItemPtr user = d->GetType("user")->GetItem(Value(arg(1)));
            ItemPtr listed = user["in_user_list"];
            if (!listed)
                listed = user.NewItem("in_user_list");
            for (int n = 2; !arg(n).isEmpty(); ++n)
                listed.Connect(d->GetType("user_list_group")->GetItem(Value(arg(n))));
        }
        else if (i_command == "unshare")
            transferQueueManager->UnshareUser(arg(1));
        else if (i_command == "reshare")
            transferQueueManager->ReshareUser(arg(1));
        else if (i_command == "slots")
            transferQueueManager->SetUploadSlots(arg(1).toInt());
        else if (i_command == "limit")
            transferQueueManager->DetermineUploadSpeedLimit();
        else if (i_command == "adddownload")
        {
            const std::string path = arg(2).toStdString();
            transferQueueManager->AddDownload(arg(1), GetFileName(path), GetFolder(path), arg(3).toLongLong(), 0);
        }
        else if (i_command == "status")
        {
            const ItemPtr entry = Download(arg(1), arg(2));
            const PositionCell* position = TransferCell<PositionCell>(entry, "write_position");
            const ItemPtr place = entry["place_in_line"];
            Say("status " + Enc(entry["download_entry_status"].AsString()) + ' ' + Num(position ? position->load() : -1)
                + ' ' + Num(place ? place.AsInt64() : -1) + ' ' + Enc(entry["denial_reason"].AsString()));
        }
        else if (i_command == "placeinline")
            transferQueueManager->RequestDownloadPlaceInLine(Download(arg(1), arg(2)));
        else if (i_command == "upstatus")
        {
            const ItemPtr user = d->GetType("user")->HasItem(Value(arg(1)));
            const ItemPtr name = d->GetType("filename_as_requested")->HasItem(Value(arg(2)));
            const ItemPtr entry = user && name ? d->GetItem(user, name, "upload_entry") : ItemPtr();
            const ItemPtr place = entry["effective_upload_order"];
            Say("upstatus " + (entry ? Enc(entry["upload_entry_status"].AsString()) : QByteArray("none")) + ' '
                + Num(place ? place.AsInt64() : -1));
        }
        else
            return false;
        return true;
    }

    // Posted from another thread, so that a busy or blocked GUI thread is seen whenever it is,
    // not only when one of its own timers happens to fire before it.
    void StartLagProbe()
    {
        if (m_lagPoster.joinable())
            return;
        // Queued like the answer of a stop just before, so that it cannot wipe that answer.
        QMetaObject::invokeMethod(
            this, [this] { m_worstLagNs = 0; }, Qt::QueuedConnection);
        m_lagPosting = true;
        m_lagPoster = std::thread([this] {
            while (m_lagPosting)
            {
                const qint64 posted = m_lagClock.nsecsElapsed();
                QMetaObject::invokeMethod(
                    this, [this, posted] { m_worstLagNs = std::max(m_worstLagNs, m_lagClock.nsecsElapsed() - posted); },
                    Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }

    void StopLagProbe()
    {
        m_lagPosting = false;
        if (m_lagPoster.joinable())
            m_lagPoster.join();
    }

    static ItemPtr Download(const QString& i_user, const QString& i_path)
    {
        const std::string path = i_path.toStdString();
        return transferQueueManager->GetDownloadEntry(i_user, GetFileName(path), GetFolder(path));
    }

    const bool m_full;
    EngineStack m_engines; // before the rest: it goes last
    QSocketNotifier* m_stdin = nullptr;
    QHash<QString, FolderAsker*> m_askers;
    QByteArray m_input;
    QList<PendingUpload> m_uploads;
    QHash<quint32, std::pair<QString, qint64>> m_downloads;
    std::vector<FileMover*> m_movers;
    int m_setupRemaining = 0;
    QElapsedTimer m_setupTimer;
    std::vector<qint64> m_setupTimes;
    std::thread m_lagPoster;
    std::atomic<bool> m_lagPosting{false};
    QElapsedTimer m_lagClock; // never restarted: events still queued are measured against it
    qint64 m_worstLagNs = 0;  // GUI thread only
};
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int status = 0;
    {
        Harness harness(app.arguments().value(1) == QLatin1String("full"));
        status = app.exec();
    }
    return status;
}
