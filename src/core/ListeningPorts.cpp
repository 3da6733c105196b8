#include "ListeningPorts.h"

namespace
{
bool IsPort(qint64 i_value)
{
    return i_value > 0 && i_value <= 65535;
}
} // namespace

quint16 ListeningPorts::Plain(qint64 i_setting)
{
    return IsPort(i_setting) ? quint16(i_setting) : kDefaultPort;
}

quint16 ListeningPorts::Scrambled(qint64 i_setting, quint16 i_plain)
{
    return IsPort(i_setting) ? quint16(i_setting) : ScrambledFor(i_plain);
}

quint16 ListeningPorts::ScrambledFor(quint16 i_plain)
{
    return i_plain < 65535 ? quint16(i_plain + 1) : quint16(0);
}
