#pragma once

#include "DataSaver.h"
#include "Server.h"
#include "TimerManager.h"
#include "TransferOutbox.h"
#include "TransferQueueManager.h"

#include <QStringList>

#include <memory>

// Everything the engine sends, as text lines, instead of through the peer network.
class RecordingOutbox : public TransferOutbox
{
public:
    QStringList m_sent;

    void QueueDownload(const QString& i_user, const std::string& i_file) override
    {
        m_sent << QStringLiteral("queue %1 %2").arg(i_user, QString::fromStdString(i_file));
    }
    uint RequestUpload(const QString& i_user, const QString& i_file, qint64) override
    {
        m_sent << QStringLiteral("request %1 %2").arg(i_user, i_file);
        return ++m_token;
    }
    void RequestFileConnectionToUser(const QString& i_user) override { m_sent << QStringLiteral("fileconn ") + i_user; }
    void SendMessage(const QString& i_user, MemStream& i_message) override
    {
        m_sent << QStringLiteral("message %1 %2").arg(i_user, QString::fromLatin1(i_message.ToByteArray().toHex()));
    }
    void TrackUser(const QString&) override {}
    uint m_token = 1000;
};

// A real store with the engine and the types it needs from its neighbours.
struct EngineFixture
{
    std::unique_ptr<Data> m_data;
    std::unique_ptr<TimerManager> m_timers;
    std::unique_ptr<DataSaver> m_saver;
    std::unique_ptr<Server> m_server;
    std::unique_ptr<TransferQueueManager> m_engine;
    RecordingOutbox* m_outbox = nullptr;

    void Start()
    {
        m_data = std::make_unique<Data>();
        d = m_data.get();
        m_timers = std::make_unique<TimerManager>();
        m_saver = std::make_unique<DataSaver>();
        m_server = std::make_unique<Server>();
        DeclareSettingTypes(d);
        m_server->CreateData();
        d->NewType("file_size", Tertiary, false, true);
        for (const char* type : {"shared_file_name", "shared_file_folder", "shared_file_size"})
            d->NewType(type, Tertiary, false, true);
        d->NewType("shared_file", Primary, true, true);
        for (const char* type : {"shared_file_name", "shared_file_folder", "shared_file_size"})
            d->GetType("shared_file")->RelateToType(d->GetType(type), One, Many, false);
        SetSetting(QStringLiteral("use_upnp"), QStringLiteral("no"));
        m_engine = std::make_unique<TransferQueueManager>();
        auto outbox = std::make_unique<RecordingOutbox>();
        m_outbox = outbox.get();
        m_engine->SetOutbox(std::move(outbox));
    }

    void Stop()
    {
        m_engine.reset();
        m_server.reset();
        m_saver.reset();
        m_timers.reset();
        d = nullptr;
        m_data.reset();
    }

    static ItemPtr Item(const char* i_type, const QString& i_value) { return d->GetType(i_type)->GetItem(i_value); }
};
