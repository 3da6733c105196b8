#include "UpdateChecker.h"

UpdateChecker::UpdateChecker(QObject* ip_parent)
    : QObject(ip_parent)
{
}

UpdateChecker::~UpdateChecker() = default;

void UpdateChecker::Init() {}
