#pragma once

#include "LoopbackSocket.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "RawPeer.h"
#include "TCPAddress.h"

#include <QString>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <thread>
#include <vector>

// Peers under names of their own, from five loopback addresses in turn, that each ask once for a
// folder and then read nothing, or a little of it every tenth of a second. They connect from a
// thread of their own, so that the client takes them as they come while its event loop runs.
class NeverReaders
{
public:
    static constexpr int Names = 250;
    static constexpr int Addresses = 5;
    static constexpr quint32 FirstAddress = 0x7f000301u; // 127.0.3.1

    // Where the server would say each name is.
    static void Place(PeerMessenger& io_messenger, const QString& i_prefix = QStringLiteral("renamed"))
    {
        for (int n = 0; n < Names; ++n)
            io_messenger.OnPeerAddress(i_prefix + QString::number(n),
                                       TCPAddress(FirstAddress + quint32(n % Addresses), 0), 0);
    }

    // They come i_msApart after one another, when not 0; else all at once.
    NeverReaders(quint16 i_port, const QString& i_folder, const QByteArray& i_prefix = "renamed",
                 int i_bytesEachTenth = 0, int i_msApart = 0)
        : m_thread([this, i_port, i_folder, i_prefix, i_bytesEachTenth, i_msApart] {
            RawPeer framer;
            const QByteArray request =
                framer.Frame(PeerMessages::BuildGetSharedFilesInFolder(1, i_folder).ToByteArray());
            using Clock = std::chrono::steady_clock;
            const auto start = Clock::now();
            const auto due = [start, i_msApart](int i_peer) {
                return start + std::chrono::milliseconds(i_peer * i_msApart);
            };
            int n = 0;
            for (auto nextRead = start; !m_stop;)
            {
                for (const auto now = Clock::now(); n < Names && due(n) <= now; ++n)
                {
                    // Segments as over a real network, not loopback's 64 KiB: a peer's window then
                    // opens as it reads, not once it has read 64 KiB.
                    const int fd =
                        ConnectFrom(FirstAddress + quint32(n % Addresses), i_port, i_bytesEachTenth > 0 ? 1448 : 0);
                    if (fd < 0)
                        continue;
                    const QByteArray wire =
                        framer.Frame(RawPeer::PeerInit(i_prefix + QByteArray::number(n), "P")) + request;
                    ::send(fd, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL);
                    m_peers.push_back(fd);
                }
                m_connected = m_peers.size();
                m_sent = n == Names;
                if (i_bytesEachTenth == 0 && m_sent)
                    break;
                auto until = n < Names ? due(n) : Clock::time_point::max();
                if (i_bytesEachTenth > 0)
                {
                    if (Clock::now() >= nextRead)
                    {
                        Read(i_bytesEachTenth);
                        nextRead += std::chrono::milliseconds(100);
                    }
                    until = std::min(until, nextRead);
                }
                std::this_thread::sleep_until(until);
            }
        })
    {
    }
    ~NeverReaders() { Close(); }

    bool Sent() const { return m_sent; }
    // How many connected.
    size_t Connected() const { return m_connected; }

    // Once all have asked; those that read stop reading.
    void Wait()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    void Close()
    {
        Wait();
        for (const int fd : m_peers)
            if (fd >= 0)
                ::close(fd);
        m_peers.clear();
    }

private:
    // Each peer reads what it is given of its answer, at most i_bytes, until the connection is
    // closed under it.
    void Read(int i_bytes)
    {
        std::vector<char> chunk(static_cast<size_t>(i_bytes));
        for (int& fd : m_peers)
            if (fd >= 0)
            {
                const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                {
                    ::close(fd);
                    fd = -1;
                }
            }
    }

    std::vector<int> m_peers;
    std::atomic<size_t> m_connected{0};
    std::atomic<bool> m_sent{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
