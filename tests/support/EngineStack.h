#pragma once

// The client engine in this process: a fresh store with the settings types, the saver and the
// timers, then the managers a caller asks for, built in the order the client builds them at start
// and deleted in the order it deletes them at exit. They reach each other through their global
// pointers, as in the client. Callers link `transfers`, which brings every engine library.

#include "DNetManager.h"
#include "Data.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
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
        dataSaver = new DataSaver;
        new TimerManager;
        if (i_parts & ServerConnection)
        {
            new Server;
            gp_server->CreateData();
        }
        if (i_parts & NoUpnp)
            SetSetting(QStringLiteral("use_upnp"), QStringLiteral("no"));
        if (i_parts & Peers)
            new PeerMessenger;
        if (i_parts & Invoker)
            new DelayedInvoker;
        if (i_parts & DNet)
            new DNetManager;
        if (i_parts & Shares)
            new SharedFoldersManager;
        if (i_parts & Transfers)
            new TransferQueueManager;
    }
    // Each manager clears its own global pointer.
    ~EngineStack()
    {
        delete transferQueueManager;
        delete sharedFoldersManager;
        delete delayedInvoker;
        delete dnetManager;
        delete peerMessenger;
        delete gp_server;
        delete dataSaver;
        delete timerManager;
        delete d;
        d = nullptr;
    }
    EngineStack(const EngineStack&) = delete;
    EngineStack& operator=(const EngineStack&) = delete;
};
