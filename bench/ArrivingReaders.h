#pragma once

#include "LoopbackSocket.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "RawPeer.h"
#include "TCPAddress.h"

#include <QString>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <thread>
#include <vector>

// Peers that keep coming under new names while a bench runs, from five loopback addresses in turn,
// at most Peers at a time: each asks for a folder again and again, so that an answer always waits
// for it, and reads in one way. When the client closes one, another comes under a name it has not
// seen, one every i_msApart at most, so the bound of all peers keeps choosing. They read from a
// thread of their own, in segments of a real network's size.
class ArrivingReaders
{
public:
    static constexpr int Peers = 250;
    static constexpr int Addresses = 5;
    static constexpr quint32 FirstAddress = 0x7f000301u; // 127.0.3.1

    // Each through a fixed receive buffer of 8 KiB, so that its window opens a little as it reads
    // and never stays shut for long, as a buffer the system sizes would.
    enum class Reading
    {
        Window, // 4 KiB every tenth of a second
        Burst,  // all it can for 0.2 s, then nothing for 0.7 s
    };

    // The first Peers come i_firstMsApart after one another.
    ArrivingReaders(quint16 i_port, const QString& i_folder, const QByteArray& i_prefix, Reading i_reading,
                    int i_msApart = 100, int i_firstMsApart = 20)
        : m_prefix(i_prefix)
        , m_thread([this, i_port, i_folder, i_reading, i_msApart, i_firstMsApart] {
            Run(i_port, i_folder, i_reading, i_msApart, i_firstMsApart);
        })
    {
    }
    ~ArrivingReaders() { Close(); }

    // Where the server would say the next names are; from the thread of the client's engines.
    void PlaceAhead(PeerMessenger& io_messenger)
    {
        for (int n = m_placed; n < m_named + 32; ++n)
            io_messenger.OnPeerAddress(QString::fromLatin1(m_prefix + QByteArray::number(n)),
                                       TCPAddress(FirstAddress + quint32(n % Addresses), 0), 0);
        m_placed = std::max(m_placed.load(), m_named + 32);
    }
    // How many came, and how many of them the client closed.
    int Came() const { return m_named; }
    int Closed() const { return m_closed; }

    void Close()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    struct Peer
    {
        int fd;
        std::chrono::steady_clock::time_point came;
    };

    void Run(quint16 i_port, const QString& i_folder, Reading i_reading, int i_msApart, int i_firstMsApart)
    {
        using Clock = std::chrono::steady_clock;
        RawPeer framer;
        QByteArray requests;
        for (quint32 n = 1; n <= 16; ++n)
            requests += framer.Frame(PeerMessages::BuildGetSharedFilesInFolder(n, i_folder).ToByteArray());
        std::vector<Peer> peers;
        std::vector<char> chunk(65536);
        auto nextCome = Clock::now();
        auto nextTenth = nextCome;
        while (!m_stop)
        {
            const auto now = Clock::now();
            if (int(peers.size()) < Peers && now >= nextCome && m_named < m_placed)
            {
                const int n = m_named;
                const int fd = ConnectFrom(FirstAddress + quint32(n % Addresses), i_port, 1448, 8192);
                if (fd >= 0)
                {
                    const QByteArray wire =
                        framer.Frame(RawPeer::PeerInit(m_prefix + QByteArray::number(n), "P")) + requests;
                    ::send(fd, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL);
                    peers.push_back({fd, now});
                }
                m_named = n + 1;
                nextCome = now + std::chrono::milliseconds(m_named < Peers ? i_firstMsApart : i_msApart);
            }
            const bool tenth = now >= nextTenth;
            if (tenth)
                nextTenth += std::chrono::milliseconds(100);
            for (Peer& peer : peers)
            {
                ssize_t got = 0;
                if (i_reading != Reading::Burst)
                    got = tenth ? ::recv(peer.fd, chunk.data(), 4096, MSG_DONTWAIT) : 1;
                else if ((now - peer.came) % std::chrono::milliseconds(900) < std::chrono::milliseconds(200))
                    while ((got = ::recv(peer.fd, chunk.data(), chunk.size(), MSG_DONTWAIT)) > 0)
                    {
                    }
                else
                    got = 1;
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                {
                    ::close(peer.fd);
                    peer.fd = -1;
                    ++m_closed;
                }
            }
            peers.erase(std::remove_if(peers.begin(), peers.end(), [](const Peer& i_peer) { return i_peer.fd < 0; }),
                        peers.end());
            std::this_thread::sleep_for(std::chrono::milliseconds(i_reading == Reading::Burst ? 5 : 10));
        }
        for (const Peer& peer : peers)
            ::close(peer.fd);
    }

    const QByteArray m_prefix;
    std::atomic<int> m_named{0};
    std::atomic<int> m_placed{0};
    std::atomic<int> m_closed{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
