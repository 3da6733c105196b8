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
#include <functional>
#include <sys/socket.h>
#include <thread>
#include <vector>

// Peers that keep coming under new names while a bench runs, from five loopback addresses in turn
// (or from wherever From says), at most Peers at a time: each asks for a folder again and again, so
// that an answer always waits for it, and reads in one way. When the client closes one, another comes
// under a name it has not seen, one every i_msApart at most, so the bound of all peers keeps choosing.
// They read from a thread of their own, in segments of a real network's size.
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

    // Where they come from, when not from this machine: how many at most at a time, a connection for
    // the peer numbered i_peer (a socket that need not be connected yet), the address the server would
    // give for it, and what each reads every tenth of a second in the Window way.
    struct From
    {
        int peers = Peers;
        std::function<int(int i_peer)> connect;
        std::function<quint32(int i_peer)> address;
        int bytesEachTenth = 4096;
    };
    static From ThisMachine(quint16 i_port)
    {
        return {Peers, [i_port](int i_peer) { return ConnectFrom(ThisMachineAddress(i_peer), i_port, 1448, 8192); },
                &ThisMachineAddress, 4096};
    }

    // The first peers come i_firstMsApart after one another.
    ArrivingReaders(quint16 i_port, const QString& i_folder, const QByteArray& i_prefix, Reading i_reading,
                    int i_msApart = 100, int i_firstMsApart = 20)
        : ArrivingReaders(ThisMachine(i_port), i_folder, i_prefix, i_reading, i_msApart, i_firstMsApart)
    {
    }
    ArrivingReaders(From i_from, const QString& i_folder, const QByteArray& i_prefix, Reading i_reading,
                    int i_msApart = 100, int i_firstMsApart = 20)
        : m_prefix(i_prefix)
        , m_from(std::move(i_from))
        , m_thread([this, i_folder, i_reading, i_msApart, i_firstMsApart] {
            Run(i_folder, i_reading, i_msApart, i_firstMsApart);
        })
    {
    }
    ~ArrivingReaders() { Close(); }

    // Where the server would say the next names are; from the thread of the client's engines.
    void PlaceAhead(PeerMessenger& io_messenger)
    {
        for (int n = m_placed; n < m_named + 32; ++n)
            io_messenger.OnPeerAddress(QString::fromLatin1(m_prefix + QByteArray::number(n)),
                                       TCPAddress(m_from.address(n), 0), 0);
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
    static quint32 ThisMachineAddress(int i_peer) { return FirstAddress + quint32(i_peer % Addresses); }

    struct Peer
    {
        int fd;
        std::chrono::steady_clock::time_point came;
        // What it has still to send once its connection is up: its opener and its requests.
        QByteArray unsent;
    };

    void Run(const QString& i_folder, Reading i_reading, int i_msApart, int i_firstMsApart)
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
            if (int(peers.size()) < m_from.peers && now >= nextCome && m_named < m_placed)
            {
                const int n = m_named;
                const int fd = m_from.connect(n);
                if (fd >= 0)
                    peers.push_back(
                        {fd, now, framer.Frame(RawPeer::PeerInit(m_prefix + QByteArray::number(n), "P")) + requests});
                m_named = n + 1;
                nextCome = now + std::chrono::milliseconds(m_named < m_from.peers ? i_firstMsApart : i_msApart);
            }
            const bool tenth = now >= nextTenth;
            if (tenth)
                nextTenth += std::chrono::milliseconds(100);
            for (Peer& peer : peers)
            {
                ssize_t got = 1;
                if (!peer.unsent.isEmpty())
                {
                    // Not up yet, or not all taken yet.
                    const ssize_t sent = ::send(peer.fd, peer.unsent.constData(), size_t(peer.unsent.size()),
                                                MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (sent > 0)
                        peer.unsent.remove(0, int(sent));
                    else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN)
                        got = 0;
                }
                else if (i_reading != Reading::Burst)
                    got = tenth ? ::recv(peer.fd, chunk.data(), size_t(m_from.bytesEachTenth), MSG_DONTWAIT) : 1;
                else if ((now - peer.came) % std::chrono::milliseconds(900) < std::chrono::milliseconds(200))
                    while ((got = ::recv(peer.fd, chunk.data(), chunk.size(), MSG_DONTWAIT)) > 0)
                    {
                    }
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
    const From m_from;
    std::atomic<int> m_named{0};
    std::atomic<int> m_placed{0};
    std::atomic<int> m_closed{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
