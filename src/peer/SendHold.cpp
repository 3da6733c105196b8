#include "SendHold.h"

#ifdef Q_OS_LINUX
// The kernel's own record: the C library's copy of it lacks the times.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#endif

namespace
{
int g_answerLimit = 0;
}

#if defined(Q_OS_LINUX) && defined(TCP_INFO)
const int SendHoldBytesWithoutWindow = int(offsetof(tcp_info, tcpi_snd_wnd));
#else
const int SendHoldBytesWithoutWindow = 0;
#endif

void AskSendHold(int i_fd, SendHold& o_hold)
{
#if defined(Q_OS_LINUX) && defined(TCP_INFO)
    tcp_info info{};
    socklen_t size = sizeof info;
    if (g_answerLimit > 0 && socklen_t(g_answerLimit) < size)
        size = socklen_t(g_answerLimit);
    if (i_fd < 0 || ::getsockopt(i_fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0
        || size < offsetof(tcp_info, tcpi_rtt) + sizeof info.tcpi_rtt)
        return;
    o_hold.sentAgoMs = info.tcpi_last_data_sent;
    o_hold.roundTripUs = info.tcpi_rtt;
    o_hold.whole = size >= offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd;
    if (!o_hold.whole)
        return;
    o_hold.busyUs = info.tcpi_busy_time;
    o_hold.windowLimitedUs = info.tcpi_rwnd_limited;
    o_hold.windowBytes = info.tcpi_snd_wnd;
    o_hold.segmentBytes = info.tcpi_snd_mss;
    o_hold.leastRoundTripUs = info.tcpi_min_rtt;
#else
    Q_UNUSED(i_fd);
    Q_UNUSED(o_hold);
#endif
}

void LimitSendHoldAnswerForTest(int i_bytes)
{
    g_answerLimit = i_bytes;
}
