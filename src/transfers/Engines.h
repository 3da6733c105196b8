#pragma once

#include <memory>

class DataSaver;
class DelayedInvoker;
class DNetManager;
class PeerMessenger;
class Server;
class SharedFoldersManager;
class TimerManager;
class TransferQueueManager;

// The engines of one client, each owned here alone. The members are declared in the order the
// client builds them, so the language destroys them in the order its shutdown needs: the transfer
// engine first (its threads use the others' sockets and files), the timers last. The store is not
// among them: the windows outlive the engines and still read it. Every engine sets its global
// pointer when built and clears it when destroyed, so the globals only alias these members.
struct Engines
{
    Engines();
    ~Engines();
    Engines(const Engines&) = delete;
    Engines& operator=(const Engines&) = delete;

    std::unique_ptr<TimerManager> timers;
    std::unique_ptr<DataSaver> saver;
    std::unique_ptr<Server> server;
    std::unique_ptr<PeerMessenger> peers;
    std::unique_ptr<DNetManager> dnet;
    std::unique_ptr<DelayedInvoker> invoker;
    std::unique_ptr<SharedFoldersManager> shares;
    std::unique_ptr<TransferQueueManager> transfers;
};
