#pragma once

// The client engine in this process: a fresh store with the settings types, the saver and the
// timers, then the managers a caller asks for, built in the order the client builds them at start
// and owned by one `Engines`, which deletes them in the order the client does at exit. They reach each other through their global
// pointers, as in the client. Callers link `transfers`, which brings every engine library.

#include "DNetManager.h"
#include "Data.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "Engines.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"

class EngineStack
{
public:
    enum Part : unsigned
    {
        ServerConnection = 1u << 0,
        NoUpnp = 1u << 1, // "use_upnp" is "no" from the server connection on
        Peers = 1u << 2,
        Invoker = 1u << 3,
        DNet = 1u << 4,
        Shares = 1u << 5,
        Transfers = 1u << 6,
    };

    explicit EngineStack(unsigned i_parts)
    {
        d = new Data;
        DeclareSettingTypes(d);
        m_engines->saver = std::make_unique<DataSaver>();
        m_engines->timers = std::make_unique<TimerManager>();
        if (i_parts & ServerConnection)
        {
            m_engines->server = std::make_unique<Server>();
            gp_server->CreateData();
        }
        if (i_parts & NoUpnp)
            SetSetting(QStringLiteral("use_upnp"), QStringLiteral("no"));
        if (i_parts & Peers)
            m_engines->peers = std::make_unique<PeerMessenger>();
        if (i_parts & Invoker)
            m_engines->invoker = std::make_unique<DelayedInvoker>();
        if (i_parts & DNet)
            m_engines->dnet = std::make_unique<DNetManager>();
        if (i_parts & Shares)
            m_engines->shares = std::make_unique<SharedFoldersManager>();
        if (i_parts & Transfers)
            m_engines->transfers = std::make_unique<TransferQueueManager>();
    }
    // The engines go in the order Engines declares, then the store.
    ~EngineStack()
    {
        m_engines.reset();
        delete d;
        d = nullptr;
    }
    EngineStack(const EngineStack&) = delete;
    EngineStack& operator=(const EngineStack&) = delete;

    // What the stack owns; a test that ends one engine early resets it here.
    Engines& Owned() { return *m_engines; }

private:
    std::unique_ptr<Engines> m_engines = std::make_unique<Engines>();
};
