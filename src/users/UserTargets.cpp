#include "UserTargets.h"

#include "Log.h"

#include <array>

namespace UserTargets
{
namespace
{
std::array<Opener, TargetCount>& Openers()
{
    static std::array<Opener, TargetCount> openers;
    return openers;
}
} // namespace

void Register(Target i_target, Opener i_opener)
{
    if (i_target >= 0 && i_target < TargetCount)
        Openers()[i_target] = std::move(i_opener);
}

bool IsRegistered(Target i_target)
{
    return i_target >= 0 && i_target < TargetCount && bool(Openers()[i_target]);
}

bool Open(Target i_target, const QString& i_user)
{
    if (!IsRegistered(i_target))
    {
        Log(QStringLiteral("Users"), 1, QStringLiteral("No window is there yet for this action on %1").arg(i_user));
        return false;
    }
    // A copy, so an opener may clear its own registration.
    const Opener opener = Openers()[i_target];
    opener(i_user);
    return true;
}
} // namespace UserTargets
