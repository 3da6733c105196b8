#pragma once

#include "LoopbackSocket.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "RawPeer.h"
#include "TCPAddress.h"

#include <QString>

#include <atomic>
#include <thread>
#include <vector>

// Peers under names of their own, from five loopback addresses in turn, that each ask once for a
// folder and then read nothing. They connect from a thread of their own, so that the client takes
// them as they come while its event loop runs.
class NeverReaders
{
public:
    static constexpr int Names = 250;
    static constexpr int Addresses = 5;
    static constexpr quint32 FirstAddress = 0x7f000301u; // 127.0.3.1

    // Where the server would say each name is.
    static void Place(PeerMessenger& io_messenger)
    {
        for (int n = 0; n < Names; ++n)
            io_messenger.OnPeerAddress(QStringLiteral("renamed%1").arg(n),
                                       TCPAddress(FirstAddress + quint32(n % Addresses), 0), 0);
    }

    NeverReaders(quint16 i_port, const QString& i_folder)
        : m_thread([this, i_port, i_folder] {
            RawPeer framer;
            const QByteArray request =
                framer.Frame(PeerMessages::BuildGetSharedFilesInFolder(1, i_folder).ToByteArray());
            for (int n = 0; n < Names; ++n)
            {
                const int fd = ConnectFrom(FirstAddress + quint32(n % Addresses), i_port);
                if (fd < 0)
                    continue;
                const QByteArray wire =
                    framer.Frame(RawPeer::PeerInit("renamed" + QByteArray::number(n), "P")) + request;
                ::send(fd, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL);
                m_peers.push_back(fd);
            }
            m_sent = true;
        })
    {
    }
    ~NeverReaders() { Close(); }

    bool Sent() const { return m_sent; }
    // How many connected; after Wait.
    size_t Connected() const { return m_peers.size(); }

    void Wait()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    void Close()
    {
        Wait();
        for (const int fd : m_peers)
            ::close(fd);
        m_peers.clear();
    }

private:
    std::vector<int> m_peers;
    std::atomic<bool> m_sent{false};
    std::thread m_thread;
};
