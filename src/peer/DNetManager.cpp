#include "DNetManager.h"

DNetManager* dnetManager = nullptr;

DNetManager::DNetManager()
{
    dnetManager = this;
}

DNetManager::~DNetManager()
{
    if (dnetManager == this)
        dnetManager = nullptr;
}
