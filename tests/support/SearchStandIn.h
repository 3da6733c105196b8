#pragma once

// The answering side of a search until the shares engine takes it over: every search from
// another user, relayed by the server or passed down the distributed tree, gets the same
// one-file reply through the peer network.

#include "Compression.h"
#include "DNetManager.h"
#include "FileInfo.h"
#include "MemStream.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "Server.h"

#include <QObject>
#include <QString>

#include <functional>

class SearchStandIn : public QObject
{
public:
    // Told of every answer sent: the searcher, the token and the road ("direct" or "tree").
    using Report = std::function<void(const QString&, quint32, const char*)>;

    SearchStandIn(QObject* ip_parent, Report i_report) : QObject(ip_parent), m_report(std::move(i_report))
    {
        connect(gp_server, &Server::DirectFileSearch, this,
                [this](QString i_user, quint32 i_req, QString) { Answer(i_user, i_req, "direct"); });
        connect(dnetManager, &DNetManager::DNetSearchRequest, this,
                [this](QString i_user, quint32 i_req, QString) { Answer(i_user, i_req, "tree"); });
    }

    // An empty path answers nothing.
    void SetAnswer(const QString& i_path, qint64 i_size)
    {
        m_path = i_path;
        m_size = i_size;
    }

private:
    void Answer(const QString& i_user, quint32 i_token, const char* ip_road)
    {
        if (m_path.isEmpty() || i_user == GetSetting(QStringLiteral("username")))
            return;
        MemStream body;
        OutputStream out(body);
        out.Write(GetSetting(QStringLiteral("username")));
        out.Write(i_token);
        out.Write(quint32(1));
        out.Write(FileInfo(m_path.toStdString(), m_size));
        out.Write(quint8(1));     // a free slot
        out.Write(quint32(1000)); // speed
        out.Write(quint32(0));    // queued
        out.Write(quint32(0));    // attribute translations
        MemStream message;
        OutputStream(message).Write(quint32(PM_FILE_SEARCH_RESULT));
        CompressBody(body, message);
        peerMessenger->SendMessage(i_user, message);
        m_report(i_user, i_token, ip_road);
    }

    Report m_report;
    QString m_path;
    qint64 m_size = 0;
};
