#pragma once

// One real peer messenger in this process, started afresh for each test, against scripted raw peers
// on loopback sockets. A test class forwards its initTestCase, init and cleanup slots here.

#include "Data.h"
#include "DataSaver.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "PeerOnlyEngine.h"
#include "RawPeer.h"
#include "TimerManager.h"

#include <QtTest>

#include <memory>
#include <string>

Q_DECLARE_METATYPE(std::string)

class MessengerFixture : public QObject
{
protected:
    quint16 m_port = 0;

    static void RegisterTypes()
    {
        qRegisterMetaType<std::string>("std::string");
        qRegisterMetaType<ItemPtr>("ItemPtr");
        qRegisterMetaType<QTcpSocket*>("QTcpSocket*");
        qRegisterMetaType<PeerConnection*>("PeerConnection*");
    }

    void Start(const QString& i_newPort = QString())
    {
        d = new Data;
        DeclareSettingTypes(d);
        dataSaver = new DataSaver;
        new TimerManager;
        // The server connection declares these; the messenger relates its reply types to them.
        if (!d->HasType("user"))
            d->NewType("user", Primary, false, true);
        if (!d->HasType("search_request"))
            d->NewType("search_request", Secondary, false, false);
        new PeerMessenger;
        SetSetting(QStringLiteral("username"), QStringLiteral("me"));
        m_port = FreePortPair();
        if (!i_newPort.isNull()) // over a stored zero, which must not matter
            SetSetting(QStringLiteral("listening_port"), QStringLiteral("0"));
        SetSetting(QStringLiteral("new_listening_port"), i_newPort.isNull() ? QString::number(m_port) : i_newPort);
        dataSaver->NotifyFirstStart();
    }

    // What the server would say: the user is at this address. There is no server here to ask.
    static void Place(const QByteArray& i_user, quint32 i_ip = 0x7f000001u)
    {
        peerMessenger->OnPeerAddress(QString::fromUtf8(i_user), TCPAddress(i_ip, 0), 0);
    }

    // A raw peer on the plain or the scrambled port, from an address of its own or this one,
    // introduced as a user the server places there (or, unplaced, one whose address nobody has
    // given yet).
    std::unique_ptr<RawPeer> Introduce(const QByteArray& i_user, const QByteArray& i_type = "P",
                                       bool i_scrambled = false, const QHostAddress& i_from = QHostAddress(),
                                       bool i_placed = true)
    {
        if (i_placed)
            Place(i_user, i_from.isNull() ? 0x7f000001u : i_from.toIPv4Address());
        auto peer = std::make_unique<RawPeer>(i_scrambled);
        if (!peer->Connect(i_scrambled ? peerMessenger->ScrambledListeningPort() : peerMessenger->ListeningPort(),
                           i_from))
            return nullptr;
        peer->SendFrame(RawPeer::PeerInit(i_user, i_type));
        return peer;
    }

    static QByteArray Payload(MemStream i_message) { return i_message.ToByteArray(); }
};
