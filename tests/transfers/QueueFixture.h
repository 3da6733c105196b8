#pragma once

// The transfer engine on the real store, the real server connection, peer messenger and shares
// engine, with real shared files in a temporary folder. Only what the engine sends is recorded
// instead of sent, so a test sees every message in order. The queue tests set the clock; tests
// that run real transfer threads keep the real one.

#include "EngineClock.h"
#include "EngineStack.h"
#include "TransferOutbox.h"
#include "TransferThread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTemporaryDir>
#include <QWaitCondition>
#include <QtEndian>
#include <QtTest>

#include <memory>

struct Sent
{
    QString kind; // "43", "60", "40", "41+", "41-", "50", "44", "46", "51", "F", "4", "chat", "track"
    QString user;
    QString file; // path, or the chat text
    QString reason;
    qint64 number = 0; // size, token or place
    QByteArray bytes;  // the whole message for 46 and 51
};

class RecordingOutbox : public TransferOutbox
{
public:
    explicit RecordingOutbox(QList<Sent>* op_log)
        : mp_log(op_log)
    {
    }

    void QueueDownload(const QString& i_user, const std::string& i_file) override
    {
        Add({"43", i_user, QString::fromStdString(i_file), {}, 0, {}});
    }
    void QueueUpload(const QString& i_user, const QString& i_file, qint64 i_size) override
    {
        Add({"60", i_user, i_file, {}, i_size, {}});
    }
    uint RequestUpload(const QString& i_user, const QString& i_file, qint64 i_size) override
    {
        Add({"40", i_user, i_file, {}, i_size, {}});
        return m_nextToken++;
    }
    void AcceptTransferRequest(const QString& i_user, uint i_token, bool, qint64) override
    {
        Add({"41+", i_user, {}, {}, i_token, {}});
    }
    void DenyTransferRequest(const QString& i_user, uint i_token, const QString& i_reason) override
    {
        Add({"41-", i_user, {}, i_reason, i_token, {}});
    }
    void DenyUpload(const QString& i_user, const QString& i_file, const QString& i_reason) override
    {
        Add({"50", i_user, i_file, i_reason, 0, {}});
    }
    void SendUploadPlaceInLine(const QString& i_user, const QString& i_file, int i_place) override
    {
        Add({"44", i_user, i_file, {}, i_place, {}});
    }
    void RequestFileConnectionToUser(const QString& i_user) override { Add({"F", i_user, {}, {}, 0, {}}); }
    void GetUserSharedFiles(const QString& i_user) override { Add({"4", i_user, {}, {}, 0, {}}); }
    void SendMessage(const QString& i_user, MemStream& i_message) override
    {
        const QByteArray bytes(i_message.GetBuffer(), int(i_message.GetLength()));
        const quint32 code = bytes.size() >= 4 ? qFromLittleEndian<quint32>(bytes.constData()) : 0;
        const quint32 length = bytes.size() >= 8 ? qFromLittleEndian<quint32>(bytes.constData() + 4) : 0;
        Add({QString::number(code), i_user, QString::fromUtf8(bytes.mid(8, int(length))), {}, 0, bytes});
    }
    void TrackUser(const QString& i_user) override { Add({"track", i_user, {}, {}, 0, {}}); }
    void SendPrivateChat(const QString& i_user, const QString& i_text) override
    {
        Add({"chat", i_user, i_text, {}, 0, {}});
    }

private:
    void Add(const Sent& i_sent) { mp_log->append(i_sent); }

    QList<Sent>* mp_log;
    uint m_nextToken = 100;
};

// A transfer thread that runs until asked to stop, and remembers whether it was asked.
class IdleTransferThread : public TransferThread
{
public:
    void SignalExit() override
    {
        QMutexLocker lock(&m_mutex);
        m_exit = true;
        m_wake.wakeAll();
    }
    bool m_signalled = false;

protected:
    void run() override
    {
        QMutexLocker lock(&m_mutex);
        // Bounded, so that a missing stop request fails the test instead of hanging it.
        if (!m_exit)
            m_wake.wait(&m_mutex, 10000);
        m_signalled = m_exit;
    }

private:
    QMutex m_mutex;
    QWaitCondition m_wake;
    bool m_exit = false;
};

class QueueFixture
{
public:
    explicit QueueFixture(bool i_testClock = true)
    {
        if (i_testClock)
            EngineClock::SetNowForTest(1700000000000);
        m_engines = std::make_unique<EngineStack>(EngineStack::ServerConnection | EngineStack::NoUpnp
                                                  | EngineStack::Peers | EngineStack::Shares | EngineStack::Transfers);
        engine = transferQueueManager;
        engine->SetOutbox(std::make_unique<RecordingOutbox>(&sent));
        SetSetting(QStringLiteral("download_folder"), dir.path() + QStringLiteral("/Downloads"));
        root = dir.path() + QStringLiteral("/Music");
        QDir().mkpath(root);
    }
    ~QueueFixture()
    {
        m_engines.reset();
        EngineClock::ResetForTest();
    }
    QueueFixture(const QueueFixture&) = delete;
    QueueFixture& operator=(const QueueFixture&) = delete;

    // Files under the shared root, shared publicly; returns their local paths.
    QStringList ShareFiles(const QStringList& i_names, qint64 i_size = 10, bool i_public = true)
    {
        QStringList paths;
        for (const QString& name : i_names)
        {
            const QString path = root + QLatin1Char('/') + name;
            QDir().mkpath(QFileInfo(path).path());
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || !file.resize(i_size))
                qFatal("cannot create %s", qPrintable(path));
            paths << path;
        }
        ItemPtr folder = sharedFoldersManager->AddSharedFolder(root);
        if (i_public)
            folder.Connect(d->GetType("shared_public")->GetGlobalNullItem());
        else
            sharedFoldersManager->RescanShares();
        return paths;
    }

    // The path as a peer asks for it.
    static QString Remote(QString i_local) { return i_local.replace(QLatin1Char('/'), QLatin1Char('\\')); }

    static ItemPtr Item(const char* i_type, const QString& i_value) { return d->GetType(i_type)->GetItem(i_value); }
    static ItemPtr User(const QString& i_name) { return d->GetType("user")->GetItem(i_name); }
    static void SetOnline(const QString& i_name, bool i_online)
    {
        ItemPtr user = User(i_name);
        ItemPtr flag = d->GetType("is_online")->GetGlobalNullItem();
        if (i_online)
            user.Connect(flag);
        else
            user.Disconnect(flag);
    }
    static ItemPtr InUserList(const QString& i_name)
    {
        ItemPtr user = User(i_name);
        if (!user["in_user_list"])
            user.Connect(d->GetType("in_user_list")->NewItem());
        return user["in_user_list"];
    }
    static void AddToGroup(const QString& i_name, const QString& i_group, int i_priority, bool i_acceptUploads = false)
    {
        ItemPtr group = d->GetType("user_list_group")->GetItem(i_group);
        group.Connect(d->GetType("group_download_priority")->GetItem(Value(i_priority)));
        if (i_acceptUploads)
            group.Connect(d->GetType("accept_uploads")->GetGlobalNullItem());
        InUserList(i_name).Connect(group);
    }

    static ItemPtr Upload(const QString& i_user, const QString& i_asRequested)
    {
        const ItemPtr name = d->GetType("filename_as_requested")->HasItem(i_asRequested);
        return d->GetItem(User(i_user), name, "upload_entry");
    }
    static QString Status(const ItemPtr& i_entry)
    {
        const char* type =
            i_entry.GetType()->GetName() == "upload_entry" ? "upload_entry_status" : "download_entry_status";
        return i_entry[type].AsString();
    }
    static qint64 Order(const ItemPtr& i_entry) { return i_entry["effective_upload_order"].AsInt64(); }

    QList<Sent> Take(const QString& i_kind = QString())
    {
        QList<Sent> taken;
        QList<Sent> kept;
        for (const Sent& s : sent)
            (i_kind.isEmpty() || s.kind == i_kind ? taken : kept).append(s);
        sent = i_kind.isEmpty() ? QList<Sent>() : kept;
        return taken;
    }
    // The one message of the kind, taken from the log; an empty one unless there was exactly one.
    Sent One(const QString& i_kind)
    {
        const QList<Sent> taken = Take(i_kind);
        return taken.size() == 1 ? taken.first() : Sent();
    }
    // One field of every message of the kind, taken from the log.
    QStringList Taken(const QString& i_kind, QString Sent::*ip_field = &Sent::file)
    {
        QStringList fields;
        for (const Sent& s : Take(i_kind))
            fields << s.*ip_field;
        return fields;
    }
    QStringList Kinds() const
    {
        QStringList kinds;
        for (const Sent& s : sent)
            if (s.kind != QLatin1String("track"))
                kinds << s.kind;
        return kinds;
    }

    // The transfer engine goes as at shutdown, before the others.
    void DeleteEngine()
    {
        m_engines->Owned().transfers.reset();
        engine = nullptr;
    }

    QTemporaryDir dir;
    QString root;
    QList<Sent> sent;
    TransferQueueManager* engine = nullptr;

private:
    std::unique_ptr<EngineStack> m_engines;
};
