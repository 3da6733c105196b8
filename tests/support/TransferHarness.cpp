// A whole headless client for transfer tests: the server connection, the peer network, the
// shares engine and the transfer engine in a process of their own, driven line by line over
// stdin, answering on stdout, so that two of them search and download from each other.
//
// Commands (fields separated by one blank, each percent-encoded):
//   set KEY VALUE            a setting
//   start                    ends the load (first start); answers "ports P S"
//   login                    connects to the server; "event Connected" follows
//   scrambled 0|1            whether outgoing connections use a reported scrambled port
//   share PATH               shares a folder with everyone; answers "shared FILES"
//   search QUERY             a network search; results come as "event Result USER PATH SIZE"
//   download USER PATH SIZE  adds the download
//   status USER PATH         answers "status STATUS BYTES" (bytes written so far)
//   limit                    applies the speed-limit settings
//   tick                     the half-minute tick
//   ping                     answers "pong"
//   quit
// Events: "event Connected", "event Result ...", "event Complete USER FILE" on a new record.

#include "Data.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "DNetManager.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TextUtils.h"
#include "TimerManager.h"
#include "TransferCells.h"
#include "TransferQueueManager.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QUrl>

#include <cstdio>
#include <unistd.h>

namespace
{
QByteArray Enc(const QString& i_text)
{
    const QByteArray encoded = QUrl::toPercentEncoding(i_text);
    return encoded.isEmpty() ? QByteArray("%") : encoded;
}

void Say(const QByteArray& i_line)
{
    std::fwrite(i_line.constData(), 1, size_t(i_line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class Harness : public QObject
{
public:
    Harness()
    {
        d = new Data;
        DeclareSettingTypes(d);
        dataSaver = new DataSaver;
        new TimerManager;
        new Server;
        gp_server->CreateData();
        new PeerMessenger;
        new DelayedInvoker;
        new DNetManager;
        new SharedFoldersManager;
        new TransferQueueManager;

        connect(gp_server, &Server::Connected, this, [] { Say("event Connected"); });
        connect(peerMessenger, &PeerMessenger::SearchResults, this, [](ItemPtr i_results) {
            for (const ItemPtr& result : i_results.GetItems("search_result")) {
                const QString folder = result["search_result_file_folder"].AsString();
                const QString path = (folder.isEmpty() ? QString() : folder + QLatin1Char('\\')) +
                                     result["search_result_file_name"].AsString();
                Say("event Result " + Enc(i_results["user"].AsString()) + ' ' + Enc(path) + ' ' +
                    QByteArray::number(result["file_size"].AsInt64()));
            }
        });
        connect(transferQueueManager, &TransferQueueManager::CompleteDownloadAdded, this, [](ItemPtr i_record) {
            Say("event Complete " + Enc(i_record["user"].AsString()) + ' ' +
                Enc(i_record["complete_download_filename"].AsString()));
        });
        m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_stdin, &QSocketNotifier::activated, this, &Harness::OnInput);
    }

    ~Harness() override
    {
        delete transferQueueManager;
        delete sharedFoldersManager;
        delete dnetManager;
        delete peerMessenger;
        delete gp_server;
        delete timerManager;
    }

private:
    void OnInput()
    {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            m_stdin->setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        m_input.append(buffer, int(got));
        int end;
        while ((end = m_input.indexOf('\n')) >= 0) {
            const QByteArray line = m_input.left(end);
            m_input.remove(0, end + 1);
            QStringList words;
            for (const QByteArray& field : line.split(' '))
                words << (field == "%" ? QString() : QUrl::fromPercentEncoding(field));
            Handle(words);
        }
    }

    static ItemPtr Download(const QString& i_user, const QString& i_path)
    {
        const std::string path = i_path.toStdString();
        return transferQueueManager->GetDownloadEntry(i_user, GetFileName(path), GetFolder(path));
    }

    void Handle(const QStringList& i_words)
    {
        const QString command = i_words.value(0);
        auto arg = [&](int i) { return i_words.value(i); };
        if (command == QLatin1String("set")) {
            SetSetting(arg(1), arg(2));
        } else if (command == QLatin1String("start")) {
            dataSaver->NotifyFirstStart();
            Say("ports " + QByteArray::number(peerMessenger->ListeningPort()) + ' ' +
                QByteArray::number(peerMessenger->ScrambledListeningPort()));
        } else if (command == QLatin1String("login")) {
            gp_server->Connect();
        } else if (command == QLatin1String("scrambled")) {
            peerMessenger->SetPreferScrambledPort(arg(1) == QLatin1String("1"));
        } else if (command == QLatin1String("share")) {
            ItemPtr folder = sharedFoldersManager->AddSharedFolder(arg(1));
            folder.Connect(d->GetType("shared_public")->GetGlobalNullItem());
            Say("shared " + QByteArray::number(qint64(d->GetType("shared_file")->GetItemCount())));
        } else if (command == QLatin1String("search")) {
            gp_server->FileSearch(arg(1), false);
        } else if (command == QLatin1String("download")) {
            const std::string path = arg(2).toStdString();
            transferQueueManager->AddDownload(arg(1), GetFileName(path), GetFolder(path), arg(3).toLongLong(), 0);
        } else if (command == QLatin1String("status")) {
            const ItemPtr entry = Download(arg(1), arg(2));
            const PositionCell* position = TransferCell<PositionCell>(entry, "write_position");
            Say("status " + Enc(entry["download_entry_status"].AsString()) + ' ' +
                QByteArray::number(position ? position->load() : -1));
        } else if (command == QLatin1String("limit")) {
            transferQueueManager->DetermineUploadSpeedLimit();
        } else if (command == QLatin1String("tick")) {
            timerManager->TickHalfMinute();
        } else if (command == QLatin1String("ping")) {
            Say("pong");
        } else if (command == QLatin1String("quit")) {
            QCoreApplication::quit();
        } else {
            Say("error unknown command " + command.toUtf8());
        }
    }

    QSocketNotifier* m_stdin = nullptr;
    QByteArray m_input;
};
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int status = 0;
    {
        Harness harness;
        status = app.exec();
    }
    return status;
}
