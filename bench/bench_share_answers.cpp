// Answers to other users on a generated share of 100,000 files in 5,000 folders: a selective
// search, a search matching half the files, the whole shares list against `gzip -9` of the same
// body, and (in a client process of its own, fed by the loopback test server) the processor time
// that 10,000 searches take.

#include "Compression.h"
#include "EngineStack.h"
#include "ShareTree.h"
#include "TestServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <random>
#include <unistd.h>

namespace
{
constexpr int kServerSearches = 10000;

constexpr unsigned kEngines = EngineStack::ServerConnection | EngineStack::Peers | EngineStack::Shares;

double Median(std::vector<double> i_values)
{
    std::sort(i_values.begin(), i_values.end());
    return i_values.empty() ? 0 : i_values[i_values.size() / 2];
}

// Two words of a file's name: a handful of matches.
QStringList SelectiveQueries(const QStringList& i_names, int i_count)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, i_names.size() - 1);
    QStringList queries;
    while (queries.size() < i_count)
    {
        const QStringList parts = i_names[pick(random)].split(' ');
        if (parts.size() >= 3)
            queries << parts[0] + ' ' + parts[2];
    }
    return queries;
}

qint64 CpuMilliseconds(qint64 i_pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(i_pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // Fields after the command's closing parenthesis; utime and stime are the 14th and 15th.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const qint64 ticks = fields[11].toLongLong() + fields[12].toLongLong();
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

void InProcess(const QString& i_root, const QStringList& i_names)
{
    EngineStack engines(kEngines);
    SharedFoldersManager* manager = sharedFoldersManager;
    SetSetting(QStringLiteral("username"), QStringLiteral("me"));
    QElapsedTimer timer;
    timer.start();
    ItemPtr folder = manager->AddSharedFolder(i_root);
    folder.Connect(d->GetType("shared_public")->GetGlobalNullItem());
    std::printf("share_scan_files: %zu files\n", d->GetType("shared_file")->GetItems().size());
    std::printf("share_scan: %.0f ms\n", double(timer.elapsed()));
    // As the audio scanner leaves them: a bitrate and a mode on every MP3.
    const ItemPtr bitrate = d->GetType("bitrate")->GetItem(Value(192));
    const ItemPtr mode = d->GetType("bitrate_mode")->GetItem(Value("cbr"));
    for (ItemPtr file : d->GetType("shared_file")->GetItems())
        if (file["shared_file_name"].AsStdString().find(".mp3") != std::string::npos)
        {
            file.Connect(bitrate);
            file.Connect(mode);
        }

    // Selective searches.
    const QStringList queries = SelectiveQueries(i_names, 300);
    std::vector<double> times;
    std::vector<double> sizes;
    int replies = 0;
    for (const QString& query : queries)
    {
        MemStream message;
        timer.start();
        const bool built = manager->BuildSearchReply(QStringLiteral("someone"), 1, query, message);
        times.push_back(timer.nsecsElapsed() / 1e6);
        replies += built;
        sizes.push_back(double(message.GetLength()));
    }
    std::printf("search_selective_median: %.3f ms\n", Median(times));
    std::printf("search_selective_replies: %d of %d\n", replies, int(queries.size()));
    std::printf("search_selective_reply_median: %.0f bytes\n", Median(sizes));

    // Half the files.
    times.clear();
    MemStream message;
    for (int n = 0; n < 7; ++n)
    {
        message = MemStream();
        timer.start();
        manager->BuildSearchReply(QStringLiteral("someone"), 1, QStringLiteral("even"), message);
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    MemStream body;
    InflateBody(MemStream(message.GetBuffer() + 4, message.GetLength() - 4), body);
    std::printf("search_50k_median: %.1f ms\n", Median(times));
    std::printf("search_50k_reply: %zu bytes (body %zu bytes)\n", message.GetLength(), body.GetLength());
    // Baseline: the same body compressed alone at level 9.
    times.clear();
    for (int n = 0; n < 7; ++n)
    {
        MemStream out;
        timer.start();
        CompressBody(body, out);
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::printf("search_50k_level9_compress_only_median: %.1f ms\n", Median(times));
    MemStream level9;
    CompressBody(body, level9);
    std::printf("search_50k_reply_vs_level9: %.4f ratio\n",
                double(message.GetLength() - 4) / double(level9.GetLength()));

    // The whole shares list against gzip -9 of the same body.
    times.clear();
    MemStream list;
    for (int n = 0; n < 3; ++n)
    {
        timer.start();
        list = manager->GetSharedFilesMessage(QStringLiteral("someone"));
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::printf("shares_list_100k_median: %.0f ms\n", Median(times));

    FileInfoMap share;
    AttributeTranslationTable table;
    timer.start();
    manager->GetSharedFilesAsUserShare(QStringLiteral("someone"), share, table);
    const double mapMs = timer.nsecsElapsed() / 1e6;
    timer.start();
    MemStream listBody;
    OutputStream out(listBody);
    out.Write(share);
    out.Write(table);
    const double writeMs = timer.nsecsElapsed() / 1e6;
    timer.start();
    MemStream compressed;
    CompressBody(listBody, compressed);
    std::printf("shares_list_parts: map %.0f ms, write %.0f ms, level 9 alone %.0f ms\n", mapMs, writeMs,
                timer.nsecsElapsed() / 1e6);
    QTemporaryDir scratch;
    QFile bodyFile(scratch.filePath(QStringLiteral("body")));
    if (bodyFile.open(QIODevice::WriteOnly))
    {
        bodyFile.write(listBody.GetBuffer(), qint64(listBody.GetLength()));
        bodyFile.close();
    }
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"),
               {QStringLiteral("-9"), QStringLiteral("-c"), QStringLiteral("-n"), bodyFile.fileName()});
    gzip.waitForFinished(60000);
    const qint64 gzipBytes = gzip.readAllStandardOutput().size();
    const qint64 ours = qint64(list.GetLength()) - 4;
    std::printf("shares_list_body: %zu bytes\n", listBody.GetLength());
    std::printf("shares_list_compressed: %lld bytes\n", static_cast<long long>(ours));
    std::printf("shares_list_gzip9: %lld bytes\n", static_cast<long long>(gzipBytes));
    std::printf("shares_list_vs_gzip9: %.4f ratio\n", gzipBytes > 0 ? double(ours) / double(gzipBytes) : 0.0);
}

// The client side of the processor-time figure: scans the tree, logs in and counts searches.
int RunClient(const QString& i_root, quint16 i_port)
{
    EngineStack engines(kEngines);
    SetSetting(QStringLiteral("server_host"), QStringLiteral("127.0.0.1"));
    SetSettingNumber(QStringLiteral("server_port"), i_port);
    SetSetting(QStringLiteral("username"), QStringLiteral("answerer"));
    SetSetting(QStringLiteral("password"), QStringLiteral("secret"));
    SetSetting(QStringLiteral("use_upnp"), QStringLiteral("no"));
    SetSettingNumber(QStringLiteral("listening_port"), 20000 + getpid() % 20000);
    sharedFoldersManager->AddSharedFolder(i_root).Connect(d->GetType("shared_public")->GetGlobalNullItem());
    dataSaver->NotifyFirstStart();

    int processed = 0;
    int matched = 0;
    QObject::connect(sharedFoldersManager, &SharedFoldersManager::SearchProcessed, [&](QString, bool i_match) {
        ++processed;
        matched += i_match;
        if (processed == kServerSearches)
        {
            std::printf("done %d\n", matched);
            std::fflush(stdout);
        }
    });
    QObject::connect(gp_server, &Server::Connected, [] {
        std::printf("ready\n");
        std::fflush(stdout);
    });
    gp_server->Connect();
    return QCoreApplication::exec();
}

void ServerSearches(const QString& i_root, const QStringList& i_names)
{
    TestServer server;
    server.Listen();
    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--client"), i_root, QString::number(server.Port())});
    auto waitFor = [&](const QByteArray& i_word, int i_timeoutMs) {
        QElapsedTimer timer;
        timer.start();
        QByteArray seen;
        while (timer.elapsed() < i_timeoutMs)
        {
            if (client.canReadLine() || client.waitForReadyRead(50))
                seen += client.readAll();
            if (seen.contains(i_word))
                return seen;
            QCoreApplication::processEvents();
        }
        return QByteArray();
    };
    if (waitFor("ready", 120000).isEmpty())
    {
        std::printf("search_server_cpu: failed to start the client\n");
        return;
    }

    // Mostly words nobody has, one in twenty a selective hit, as searches on the network go.
    const QStringList hits = SelectiveQueries(i_names, kServerSearches / 20);
    const qint64 before = CpuMilliseconds(client.processId());
    for (int n = 0; n < kServerSearches; ++n)
    {
        const QString query = n % 20 == 0 ? hits[n / 20] : QStringLiteral("nothing%1 here").arg(n);
        QByteArray body;
        const QByteArray user = QStringLiteral("searcher%1").arg(n % 50).toUtf8();
        const QByteArray text = query.toUtf8();
        auto put32 = [&](quint32 i_value) {
            for (int b = 0; b < 4; ++b)
                body.append(char((i_value >> (8 * b)) & 0xff));
        };
        put32(quint32(user.size()));
        body += user;
        put32(quint32(n));
        put32(quint32(text.size()));
        body += text;
        server.SendFrame(QStringLiteral("answerer"), 26, body);
        if (n % 500 == 0)
            QCoreApplication::processEvents();
    }
    const QByteArray done = waitFor("done", 120000);
    const qint64 after = CpuMilliseconds(client.processId());
    client.write("");
    client.kill();
    client.waitForFinished(5000);
    if (done.isEmpty())
    {
        std::printf("search_server_cpu: the client did not answer every search\n");
        return;
    }
    const double cpuSeconds = double(after - before) / 1000.0;
    std::printf("search_server_10k_cpu: %.3f s\n", cpuSeconds);
    std::printf("search_server_10k_per_minute_core_share: %.2f %%\n", cpuSeconds / 60.0 * 100.0);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--client"))
        return RunClient(args[2], quint16(args[3].toUInt()));

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString root = dir.path() + QStringLiteral("/share");
    const QStringList names = ShareTree::Make(root, ShareTree::EvenAndOdd | ShareTree::SmallMp3s);
    std::printf("share_files: %d files\n", int(names.size()));
    InProcess(root, names);
    if (!args.contains(QStringLiteral("--no-client")))
        ServerSearches(root, names);
    return 0;
}
