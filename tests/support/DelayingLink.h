#pragma once

// A link with a round trip, for peers far away: the process moves into a network namespace of its
// own, and a second one holds the far side; two TUN devices join them, and a thread of ours holds
// each packet half the round trip each way. It may lose a share of the packets, drawn from a seeded
// generator, and carry at most so many bytes a second each way, as a slow line with a queue of its
// own; connections from some ports of the far side may take paths of their own. Root only (or what
// a namespace needs). Every address lives in these namespaces: nothing leaves the machine.

#include <QtGlobal>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <net/route.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

class DelayingLink
{
public:
    static constexpr quint32 NearAddress = 0x0a3b0001u; // 10.59.0.1, this process's side
    static constexpr quint32 FarAddress = 0x0a3b0002u;  // 10.59.0.2

    // Moves the process into a namespace of its own with its loopback up. Call first in main,
    // before any thread starts: threads made later share it.
    static bool Isolate() { return ::unshare(CLONE_NEWNET) == 0 && Configure("lo", 0, 0); }

    // Path 0 carries every connection no other path takes.
    static constexpr int Paths = 3;

    explicit DelayingLink(int i_roundTripMs)
    {
        SetRoundTrip(i_roundTripMs);
        m_near = Tun("near0", NearAddress);
        std::thread far([this] {
            if (::unshare(CLONE_NEWNET) != 0 || !Configure("lo", 0, 0))
                return;
            m_farNamespace = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            m_far = Tun("far0", FarAddress);
        });
        far.join();
        if (Up())
            m_thread = std::thread([this] { Forward(); });
    }
    ~DelayingLink()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (const int fd : {m_near, m_far, m_farNamespace})
            if (fd >= 0)
                ::close(fd);
    }
    bool Up() const { return m_near >= 0 && m_far >= 0 && m_farNamespace >= 0; }
    // Packets already under way keep the delay they came with.
    void SetRoundTrip(int i_roundTripMs, int i_path = 0) { m_paths[i_path].halfTripUs = i_roundTripMs * 500; }
    // Each packet, either way, is lost with i_share's chance, drawn afresh from i_seed.
    void SetLoss(double i_share, unsigned i_seed = 67, int i_path = 0)
    {
        Path& path = m_paths[i_path];
        path.lossSeed = i_seed;
        path.lossPerMillion = int(i_share * 1e6);
        ++path.lossDraws;
    }
    // Each way carries at most i_bytesPerSecond (0: as fast as the thread forwards), a packet at a
    // time; what waits for the line beyond i_queueBytes is dropped, as a modem's queue would.
    void SetRate(int i_bytesPerSecond, int i_queueBytes = 64 * 1024, int i_path = 0)
    {
        m_paths[i_path].queueBytes = i_queueBytes;
        m_paths[i_path].bytesPerSecond = i_bytesPerSecond;
    }
    // Connections from the far side's ports i_first to i_first + i_count - 1 take path i_path.
    void SetPorts(int i_path, quint16 i_first, int i_count)
    {
        m_paths[i_path].firstPort = i_first;
        m_paths[i_path].ports = i_count;
    }

    // The congestion control of the connections the listening socket of i_port (of this process)
    // accepts from now on: an accepted connection takes its listener's. A namespace other than the
    // first may not make cubic its default; a socket of its own may have it.
    static bool SetCongestionControl(quint16 i_port, const std::string& i_name)
    {
        bool set = false;
        DIR* fds = ::opendir("/proc/self/fd");
        for (const dirent* entry; fds && (entry = ::readdir(fds));)
        {
            const int fd = std::atoi(entry->d_name);
            sockaddr_storage address{};
            socklen_t size = sizeof address;
            int listening = 0;
            socklen_t flagSize = sizeof listening;
            if (fd <= 2 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0
                || ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagSize) != 0 || !listening)
                continue;
            const quint16 port =
                ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                                                    : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
            if (port != i_port
                || ::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, i_name.c_str(), socklen_t(i_name.size())) != 0)
                continue;
            char now[16] = {};
            socklen_t nowSize = sizeof now;
            set = ::getsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, now, &nowSize) == 0 && i_name == now;
        }
        if (fds)
            ::closedir(fds);
        return set;
    }

    // A blocking socket of the far side, from i_fromPort when not 0, connected to i_port on the near
    // side; -1 on failure.
    int ConnectFromFar(quint16 i_port, quint16 i_fromPort = 0) const { return ConnectFromFarAs({i_port, i_fromPort}); }

    // How a far socket connects: from which of the far side's addresses (AddFarAddresses), with a
    // receive buffer fixed at receiveBytes when not 0, and whether the call returns before the
    // connection is up, the socket then not blocking.
    struct FarConnection
    {
        quint16 port;
        quint16 fromPort = 0;
        quint32 fromAddress = 0;
        int receiveBytes = 0;
        bool returnAtOnce = false;
    };
    int ConnectFromFarAs(const FarConnection& i_how) const
    {
        int fd = -1;
        std::thread far([this, &i_how, &fd] {
            if (::setns(m_farNamespace, CLONE_NEWNET) != 0)
                return;
            fd = ::socket(AF_INET, SOCK_STREAM | (i_how.returnAtOnce ? SOCK_NONBLOCK : 0), 0);
            if (fd >= 0 && i_how.receiveBytes > 0)
                ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &i_how.receiveBytes, sizeof i_how.receiveBytes);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_port = htons(i_how.fromPort);
            from.sin_addr.s_addr = htonl(i_how.fromAddress);
            const int reuse = 1;
            if (fd >= 0 && (i_how.fromPort != 0 || i_how.fromAddress != 0)
                && (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0
                    || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0))
            {
                ::close(fd);
                fd = -1;
            }
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(i_how.port);
            address.sin_addr.s_addr = htonl(NearAddress);
            if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
                && !(i_how.returnAtOnce && errno == EINPROGRESS))
            {
                ::close(fd);
                fd = -1;
            }
        });
        far.join();
        return fd;
    }

    // Gives the far side i_count more addresses, FarAddress + 1 on, so that many far peers need not
    // share one; false when they cannot be had.
    bool AddFarAddresses(int i_count) const
    {
        bool added = true;
        std::thread far([this, i_count, &added] {
            added = ::setns(m_farNamespace, CLONE_NEWNET) == 0;
            for (int n = 1; added && n <= i_count; ++n)
                added = Configure(("far0:" + std::to_string(n)).c_str(), FarAddress + quint32(n), 0);
        });
        far.join();
        return added;
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Packet
    {
        Clock::time_point due;
        std::vector<char> bytes;
    };
    struct Path
    {
        std::atomic<int> halfTripUs{0};
        std::atomic<int> lossPerMillion{0};
        std::atomic<unsigned> lossSeed{0};
        std::atomic<int> lossDraws{0};
        std::atomic<int> bytesPerSecond{0};
        std::atomic<int> queueBytes{0};
        std::atomic<int> firstPort{0};
        std::atomic<int> ports{0};
    };
    // What the forwarding thread keeps of a path: by the device they came from, the packets held,
    // when its line is free again, and its draws of loss.
    struct Line
    {
        std::deque<Packet> held[2];
        Clock::time_point free[2];
        std::mt19937 random;
        int lossDraws = -1;
    };

    // The path of an IPv4 TCP packet, by its port on the far side.
    int PathOf(const std::vector<char>& i_packet, size_t i_size, int i_fromSide) const
    {
        const auto byte = [&i_packet](size_t i_at) { return quint8(i_packet[i_at]); };
        const size_t header = size_t(byte(0) & 15) * 4;
        if (i_size < header + 4 || byte(0) >> 4 != 4 || byte(9) != IPPROTO_TCP)
            return 0;
        const size_t at = header + (i_fromSide == 0 ? 2 : 0); // the far side's port
        const int port = byte(at) << 8 | byte(at + 1);
        for (int path = 1; path < Paths; ++path)
            if (port >= m_paths[path].firstPort && port < m_paths[path].firstPort + m_paths[path].ports)
                return path;
        return 0;
    }

    // Brings the device up, with an address on a /24 when one is given, and a queue long enough
    // that a burst of a fast sender is held, not dropped, before the thread takes it.
    static bool Configure(const char* ip_name, quint32 i_address, int i_queue)
    {
        const int control = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (control < 0)
            return false;
        ifreq request{};
        std::strncpy(request.ifr_name, ip_name, IFNAMSIZ - 1);
        bool ok = true;
        if (i_address)
        {
            auto* address = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
            address->sin_family = AF_INET;
            address->sin_addr.s_addr = htonl(i_address);
            ok = ::ioctl(control, SIOCSIFADDR, &request) == 0;
            address->sin_addr.s_addr = htonl(0xffffff00u);
            ok = ok && ::ioctl(control, SIOCSIFNETMASK, &request) == 0;
        }
        if (i_queue > 0)
        {
            request.ifr_qlen = i_queue;
            ok = ok && ::ioctl(control, SIOCSIFTXQLEN, &request) == 0;
        }
        ok = ok && ::ioctl(control, SIOCGIFFLAGS, &request) == 0;
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ok && ::ioctl(control, SIOCSIFFLAGS, &request) == 0;
        ::close(control);
        return ok;
    }

    static int Tun(const char* ip_name, quint32 i_address)
    {
        const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return -1;
        ifreq request{};
        std::strncpy(request.ifr_name, ip_name, IFNAMSIZ - 1);
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        if (::ioctl(fd, TUNSETIFF, &request) != 0 || !Configure(ip_name, i_address, 20000))
        {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    // Takes every packet each device has, and hands each to the other device once it is due. Packets
    // are handed over a few at a time between takes: what comes meanwhile, as the other side's
    // answers to the first packets of a burst, is held from when it came, not from when a burst of a
    // thousand packets has been handed over, which would add to its round trip as a queue would.
    void Forward()
    {
        constexpr int kHandedBetweenTakes = 16;
        const int fds[2] = {m_near, m_far};
        Line lines[Paths];
        std::uniform_int_distribution<int> draw(0, 999999);
        std::vector<char> buffer(65536);
        while (!m_stop)
        {
            const Clock::time_point now = Clock::now();
            int waitMs = 50;
            int handed = 0;
            for (Line& line : lines)
                for (int side = 0; side < 2; ++side)
                {
                    std::deque<Packet>& held = line.held[side];
                    for (; !held.empty() && held.front().due <= now && handed < kHandedBetweenTakes;
                         held.pop_front(), ++handed)
                    {
                        const std::vector<char>& bytes = held.front().bytes;
                        [[maybe_unused]] const ssize_t written = ::write(fds[1 - side], bytes.data(), bytes.size());
                    }
                    if (!held.empty())
                    {
                        const auto until =
                            std::chrono::duration_cast<std::chrono::milliseconds>(held.front().due - now).count();
                        waitMs = std::min<int>(waitMs, int(until));
                    }
                }
            pollfd polled[2] = {{m_near, POLLIN, 0}, {m_far, POLLIN, 0}};
            ::poll(polled, 2, std::max(waitMs, 0));
            const Clock::time_point arrived = Clock::now();
            for (int side = 0; side < 2; ++side)
                for (ssize_t n; (n = ::read(fds[side], buffer.data(), buffer.size())) > 0;)
                {
                    const Path& path = m_paths[PathOf(buffer, size_t(n), side)];
                    Line& line = lines[&path - m_paths];
                    if (line.lossDraws != path.lossDraws)
                    {
                        line.lossDraws = path.lossDraws;
                        line.random.seed(path.lossSeed);
                    }
                    if (path.lossPerMillion > 0 && draw(line.random) < path.lossPerMillion)
                        continue;
                    Clock::time_point sent = arrived;
                    if (const int bytesPerSecond = path.bytesPerSecond; bytesPerSecond > 0)
                    {
                        // The line sends one packet after another; what would wait past its queue is lost.
                        const Clock::time_point start = std::max(arrived, line.free[side]);
                        if (start - arrived
                            > std::chrono::microseconds(qint64(path.queueBytes) * 1000000 / bytesPerSecond))
                            continue;
                        sent = line.free[side] =
                            start + std::chrono::microseconds(qint64(n) * 1000000 / bytesPerSecond);
                    }
                    line.held[side].push_back({sent + std::chrono::microseconds(path.halfTripUs.load()),
                                               std::vector<char>(buffer.begin(), buffer.begin() + n)});
                }
        }
    }

    Path m_paths[Paths];
    int m_near = -1;
    int m_far = -1;
    int m_farNamespace = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
