#pragma once

// Search replies as the peer network turns a received reply into items: one `search_results`
// linked to its request, user and upload state, with one `search_result` per file. Tests and
// benchmarks hand them to the search window through PeerMessenger::SearchResults.

#include "Data.h"
#include "PeerMessenger.h"

#include <QList>
#include <QString>

struct ReplyFile
{
    QString m_path; // folder and name, separated by "\"
    qint64 m_size = 0;
    int m_bitrate = 0;  // 0: no bitrate attribute
    QString m_mode;     // "vbr", "cbr" or "" (none)
    int m_seconds = -1; // -1: no length attribute
};

struct ReplyUser
{
    QString m_name;
    bool m_freeSlot = true;
    quint32 m_speed = 0;
    quint32 m_queued = 0;
};

inline ItemPtr MakeSearchReply(unsigned int i_token, const ReplyUser& i_user, const QList<ReplyFile>& i_files)
{
    ItemPtr request = d->GetType("search_request")->GetItem(Value(i_token));
    ItemPtr reply = d->GetType("search_results")->NewItem();
    reply += d->GetType("user")->GetItem(Value(i_user.m_name));
    reply += d->GetType("search_results_user_available")->GetItem(Value(i_user.m_freeSlot ? "yes" : "no"));
    reply += d->GetType("search_results_user_speed")->GetItem(Value(int(qint32(i_user.m_speed))));
    reply += d->GetType("search_results_uploads_in_queue")->GetItem(Value(i_user.m_queued));
    for (const ReplyFile& file : i_files)
    {
        ItemPtr result = d->GetType("search_result")->NewItem();
        const int split = file.m_path.lastIndexOf(QLatin1Char('\\'));
        result += reply;
        result +=
            d->GetType("search_result_file_folder")->GetItem(Value(split < 0 ? QString() : file.m_path.left(split)));
        result += d->GetType("search_result_file_name")->GetItem(Value(file.m_path.mid(split + 1)));
        result += d->GetType("file_size")->GetItem(Value(static_cast<long long>(file.m_size)));
        if (file.m_bitrate)
            result += d->GetType("bitrate")->GetItem(Value(file.m_bitrate));
        if (!file.m_mode.isEmpty())
            result += d->GetType("bitrate_mode")->GetItem(Value(file.m_mode));
        if (file.m_seconds >= 0)
            result += d->GetType("length_seconds")->GetItem(Value(file.m_seconds));
    }
    request += reply;
    return reply;
}

// Makes the reply and lets the peer network announce it.
inline ItemPtr SendSearchReply(unsigned int i_token, const ReplyUser& i_user, const QList<ReplyFile>& i_files)
{
    ItemPtr reply = MakeSearchReply(i_token, i_user, i_files);
    emit peerMessenger->SearchResults(reply);
    return reply;
}
