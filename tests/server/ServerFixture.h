#pragma once

// One client engine for a test: a fresh store with the settings types, the saver, the timers and
// the server connection pointed at a loopback test server.

#include "Data.h"
#include "DataSaver.h"
#include "Engines.h"
#include "Server.h"
#include "TestServer.h"
#include "TimerManager.h"
#include "WireBody.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

inline ItemPtr FlagItem(const char* ip_type)
{
    return d->GetType(ip_type)->GetGlobalNullItem();
}

struct ServerFixture
{
    explicit ServerFixture(const QString& i_user = QStringLiteral("alice"))
    {
        d = new Data;
        DeclareSettingTypes(d);
        saver = std::make_unique<DataSaver>();
        timers = std::make_unique<TimerManager>();
        server = std::make_unique<Server>();
        server->CreateData();
        saver->NotifyFirstStart();
        testServer.reset(new TestServer);
        testServer->Listen();
        SetSetting(QStringLiteral("server_host"), QStringLiteral("127.0.0.1"));
        SetSettingNumber(QStringLiteral("server_port"), testServer->Port());
        if (!i_user.isEmpty())
        {
            SetSetting(QStringLiteral("username"), i_user);
            SetSetting(QStringLiteral("password"), QStringLiteral("secret"));
        }
    }

    ~ServerFixture()
    {
        engines.reset();
        testServer.reset();
        delete d;
        d = nullptr;
    }

    // Connects and waits for the login; false when it did not happen.
    bool Login()
    {
        QSignalSpy connected(server.get(), &Server::Connected);
        server->Connect();
        return connected.wait(5000) || connected.count() > 0;
    }

    // Drops the connection abruptly and waits for the client to notice.
    bool Drop()
    {
        QSignalSpy disconnected(server.get(), &Server::Disconnected);
        testServer->DropConnection(QStringLiteral("alice"));
        return disconnected.wait(5000);
    }

    bool Push(quint32 i_code, const QByteArray& i_body)
    {
        return testServer->SendFrame(QStringLiteral("alice"), i_code, i_body);
    }

    ItemPtr User(const QString& i_name) { return d->GetType("user")->GetItem(i_name); }
    ItemPtr Room(const QString& i_name) { return d->GetType("room")->GetItem(i_name); }

    // Owned as the client owns its engines; the names below are the tests' way in.
    std::unique_ptr<Engines> engines = std::make_unique<Engines>();
    std::unique_ptr<DataSaver>& saver = engines->saver;
    std::unique_ptr<TimerManager>& timers = engines->timers;
    std::unique_ptr<Server>& server = engines->server;
    std::unique_ptr<TestServer> testServer;
};
