// Frames from the central server through the server connection's own receive path, logging in
// or logged in. Unless the first byte asks for raw bytes, the input is cut into records of a
// code choice, a 16-bit length and a body, each sent as one frame.

#include "Data.h"
#include "DataSaver.h"
#include "FuzzTarget.h"
#include "Server.h"
#include "ServerCodes.h"
#include "TimerManager.h"
#include "Wire.h"

#include <iterator>

namespace
{
constexpr quint32 kCodes[] = {1,   3,   5,   7,   13,  14,  15,  16,  17,  18,   22,  26,  36,
                              41,  64,  66,  69,  83,  84,  92,  93,  102, 104,  133, 134, 135,
                              139, 140, 141, 143, 144, 145, 146, 148, 153, 1001, 1003};
constexpr quint8 kLoggedIn = 1;
constexpr quint8 kRaw = 2;

void StartEngine()
{
    if (gp_server)
        return;
    d = new Data;
    DeclareSettingTypes(d);
    dataSaver = new DataSaver;
    new TimerManager;
    new Server;
    gp_server->CreateData();
    SetSetting(QStringLiteral("username"), QStringLiteral("me"));
    SetSetting(QStringLiteral("use_upnp"), QStringLiteral("no"));
    dataSaver->NotifyFirstStart();
}

QByteArray Record(quint32 i_code, const QByteArray& i_body)
{
    const char choice = char(std::find(std::begin(kCodes), std::end(kCodes), i_code) - std::begin(kCodes));
    const quint16 length = quint16(i_body.size());
    return QByteArray(1, choice) + QByteArray(reinterpret_cast<const char*>(&length), 2) + i_body;
}
} // namespace

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    const QByteArray login = WireWriter().U8(1).Str("welcome").Ip(0x7f000001).Str("d41d8cd98f").U8(0).Body();
    o_seeds.push_back(QByteArray(1, 0) + Record(1, login));
    o_seeds.push_back(QByteArray(1, 0) + Record(1, WireWriter().U8(0).Str("INVALIDPASS").Body()));
    const QByteArray join = WireWriter()
                                .Str("room")
                                .U32(2)
                                .Str("ann")
                                .Str("bob")
                                .U32(2)
                                .U32(2)
                                .U32(1)
                                .U32(2)
                                .Stats(100, 2, 3, 4)
                                .Stats(5, 6, 7, 8)
                                .U32(2)
                                .U32(1)
                                .U32(0)
                                .U32(2)
                                .Str("DE")
                                .Str("FR")
                                .Body();
    QByteArray session = QByteArray(1, kLoggedIn);
    session += Record(14, join);
    session += Record(13, WireWriter().Str("room").Str("ann").Str("hello %1 there").Body());
    session += Record(16, WireWriter().Str("room").Str("cid").U32(2).Stats(1, 2, 3, 4).U32(1).Str("US").Body());
    session += Record(7, WireWriter().Str("ann").U32(1).U8(1).Body());
    session += Record(22, WireWriter().U32(9).U32(1700000000).Str("ann").Str("hi").U8(1).Body());
    session += Record(18, WireWriter().Str("ann").Str("P").Ip(0x7f000001).U32(1).U32(55).U8(0).U32(0).U32(0).Body());
    session += Record(3, WireWriter().Str("ann").Ip(0x7f000001).U32(1).U32(0).U16(0).Body());
    session += Record(5, WireWriter().Str("ann").U8(1).U32(2).Stats(9, 9, 9, 9).Str("SE").Body());
    session += Record(102, WireWriter().U32(1).Str("up").Ip(0x7f000001).U32(1).Body());
    session += Record(93, WireWriter().U8(3).U32(49).Str("ann").U32(7).Str("query").Body());
    session += Record(64, WireWriter().U32(1).Str("room").U32(1).U32(5).U32(0).U32(0).U32(0).U32(0).U32(0).Body());
    session += Record(148, WireWriter().Str("room").U32(1).Str("op").Body());
    session += Record(153, WireWriter().Str("abba").U32(1).Str("queen").U32(3).Body());
    session += Record(41, QByteArray());
    o_seeds.push_back(session);
    o_seeds.push_back(QByteArray(1, kLoggedIn | kRaw) + WireWriter().U32(0xffffffffu).U32(13).Body());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    FuzzEnvironment();
    StartEngine();
    const quint8 mode = ip_data[0];
    QByteArray bytes;
    if (mode & kRaw)
        bytes = FuzzBytes(ip_data + 1, i_size - 1);
    else
        for (size_t at = 1; at + 3 <= i_size;)
        {
            const quint32 code = kCodes[ip_data[at] % std::size(kCodes)];
            const size_t length =
                std::min<size_t>(size_t(ip_data[at + 1]) | size_t(ip_data[at + 2]) << 8, i_size - at - 3);
            bytes += WireWriter().U32(quint32(length + 4)).U32(code).Body();
            bytes.append(reinterpret_cast<const char*>(ip_data + at + 3), int(length));
            at += 3 + length;
        }
    gp_server->ReceiveForTest(bytes, mode & kLoggedIn);
    return 0;
}
