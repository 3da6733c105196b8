#pragma once

#include <QtGlobal>

// The two ports the client listens on for other clients, as the settings `listening_port` and
// `obfuscated_listening_port` give them; every place that needs them reads them through here.
namespace ListeningPorts
{
constexpr quint16 kDefaultPort = 2235;

// A valid port, else the default.
quint16 Plain(qint64 i_setting);
// A valid port, else the one that goes with the plain port.
quint16 Scrambled(qint64 i_setting, quint16 i_plain);
// The scrambled port that goes with a plain one: the next port, 0 (none) after the last one.
quint16 ScrambledFor(quint16 i_plain);
} // namespace ListeningPorts
