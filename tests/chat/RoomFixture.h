#pragma once

// A logged-in client engine on the loopback test server, with the window types the main window
// declares, and the rooms tab widget the room tabs open in.

#include "ChatClock.h"
#include "RoomForm.h"
#include "ServerFixture.h"

#include <QTabWidget>
#include <QTextBrowser>

struct RoomFixture : ServerFixture
{
    RoomFixture()
    {
        Q_INIT_RESOURCE(resources);
        Type* user = d->GetType("user");
        Type* room = d->GetType("room");
        user->RelateToType(d->NewType("user_note", Secondary, false, true), Many, One);
        room->RelateToType(d->NewType("room_form", Primary, false, true), One, One);
        Type* viewer = d->NewType("chat_log_form", Primary, false, true);
        viewer->RelateToType(room, One, One);
        viewer->RelateToType(user, One, One);
        SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("activity_based"));
        SetSetting(QStringLiteral("log_room_chat"), QStringLiteral("yes"));
        SetSetting(QStringLiteral("color_chat_username"), QStringLiteral("#0033ff"));
        SetSetting(QStringLiteral("color_chat_timestamp"), QStringLiteral("#0066ff"));
        SetSetting(QStringLiteral("color_chat_status"), QStringLiteral("#339933"));
        SetChatClockForTest(QDateTime(QDate(2011, 12, 6), QTime(15, 7, 22)));
    }
    ~RoomFixture() { SetChatClockForTest(QDateTime()); }

    // The own user in the room, as the join reply leaves it, and the room's tab.
    RoomForm* Enter(const QString& i_room)
    {
        Room(i_room) += FlagItem("in_room");
        return RoomForm::OpenTab(&tabs, i_room);
    }

    // A user in the room with all three statistics (each linked only when given).
    ItemPtr AddUser(const QString& i_room, const QString& i_user, qint64 i_speed = 0, qint64 i_files = 0,
                    const QString& i_country = QStringLiteral("XX"))
    {
        ItemPtr user = User(i_user);
        Room(i_room) += user;
        user += d->GetType("average_download_speed")->GetItem(Value(i_speed));
        user += d->GetType("shared_files_count")->GetItem(Value(i_files));
        user += d->GetType("country_code")->GetItem(Value(i_country));
        return user;
    }

    void Note(const QString& i_user) { User(i_user) += d->GetType("user_note")->GetItem(Value(i_user + " note")); }

    static QStringList Lines(RoomForm* ip_form)
    {
        return ip_form->findChild<QTextBrowser*>(QStringLiteral("chatView"))->toPlainText().split(QLatin1Char('\n'));
    }

    void SetClock(const QTime& i_time) { SetChatClockForTest(QDateTime(QDate(2011, 12, 6), i_time)); }

    QTabWidget tabs;
};
