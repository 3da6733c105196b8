#pragma once

// A link with a round trip, for peers far away: the process moves into a network namespace of its
// own, and a second one holds the far side; two TUN devices join them, and a thread of ours holds
// each packet half the round trip each way. Root only (or what a namespace needs). Every address
// lives in these namespaces: nothing leaves the machine.

#include <QtGlobal>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
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

    explicit DelayingLink(int i_roundTripMs)
        : m_halfTripUs(i_roundTripMs * 500)
    {
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
    void SetRoundTrip(int i_roundTripMs) { m_halfTripUs = i_roundTripMs * 500; }

    // A blocking socket of the far side connected to i_port on the near side; -1 on failure.
    int ConnectFromFar(quint16 i_port) const
    {
        int fd = -1;
        std::thread far([this, i_port, &fd] {
            if (::setns(m_farNamespace, CLONE_NEWNET) != 0)
                return;
            fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(i_port);
            address.sin_addr.s_addr = htonl(NearAddress);
            if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            {
                ::close(fd);
                fd = -1;
            }
        });
        far.join();
        return fd;
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Packet
    {
        Clock::time_point due;
        std::vector<char> bytes;
    };

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

    // Takes every packet each device has, and hands each to the other device once it is due.
    void Forward()
    {
        const int fds[2] = {m_near, m_far};
        std::deque<Packet> held[2]; // by the device they came from
        std::vector<char> buffer(65536);
        while (!m_stop)
        {
            const Clock::time_point now = Clock::now();
            int waitMs = 50;
            for (int side = 0; side < 2; ++side)
            {
                while (!held[side].empty() && held[side].front().due <= now)
                {
                    const std::vector<char>& bytes = held[side].front().bytes;
                    [[maybe_unused]] const ssize_t written = ::write(fds[1 - side], bytes.data(), bytes.size());
                    held[side].pop_front();
                }
                if (!held[side].empty())
                {
                    const auto until =
                        std::chrono::duration_cast<std::chrono::milliseconds>(held[side].front().due - now).count();
                    waitMs = std::min<int>(waitMs, int(until));
                }
            }
            pollfd polled[2] = {{m_near, POLLIN, 0}, {m_far, POLLIN, 0}};
            ::poll(polled, 2, std::max(waitMs, 0));
            const Clock::time_point arrived = Clock::now();
            for (int side = 0; side < 2; ++side)
                for (ssize_t n; (n = ::read(fds[side], buffer.data(), buffer.size())) > 0;)
                    held[side].push_back({arrived + std::chrono::microseconds(m_halfTripUs.load()),
                                          std::vector<char>(buffer.begin(), buffer.begin() + n)});
        }
    }

    std::atomic<int> m_halfTripUs;
    int m_near = -1;
    int m_far = -1;
    int m_farNamespace = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
