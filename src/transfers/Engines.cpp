#include "Engines.h"

#include "DNetManager.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"

Engines::Engines() = default;
Engines::~Engines() = default;
