#pragma once

// The peer network alone on a fresh store, for the fuzz targets, tests and benchmarks that drive
// it without the other engines; what it makes lives until the process ends or it is stopped.

#include "Data.h"
#include "DataSaver.h"
#include "PeerMessenger.h"
#include "TimerManager.h"

inline void StartPeerOnlyEngine()
{
    d = new Data;
    DeclareSettingTypes(d);
    dataSaver = new DataSaver;
    new TimerManager;
    d->NewType("user", Primary, false, true);
    d->NewType("search_request", Secondary, false, false);
    new PeerMessenger;
    SetSetting(QStringLiteral("username"), QStringLiteral("me"));
}

// Undoes StartPeerOnlyEngine, and the start of any engine stack as small.
inline void StopPeerOnlyEngine()
{
    delete peerMessenger;
    delete timerManager;
    delete dataSaver;
    dataSaver = nullptr;
    delete d;
    d = nullptr;
}
