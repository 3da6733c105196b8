#include "AddSharedFolderDialog.h"
#include "ChangeUsernamePasswordDialog.h"
#include "ChatForm.h"
#include "ChatLogForm.h"
#include "ChatsForm.h"
#include "DownloadPaths.h"
#include "FocusHelpers.h"
#include "HarnessProcess.h"
#include "RawPeer.h"
#include "RoomForm.h"
#include "Screenshot.h"
#include "SearchForm.h"
#include "SearchResultsForm.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "WindowFixture.h"
#include "ui_MainWindow.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTextBrowser>
#include <QtTest>

namespace
{
const int WaitMs = 30000;

// An MP3 of one second: 38 MPEG-1 Layer III frames of 128 kbit/s at 44.1 kHz, silent.
QByteArray Mp3(char i_fill)
{
    QByteArray frame(417, i_fill);
    frame[0] = char(0xff);
    frame[1] = char(0xfb);
    frame[2] = char(0x90);
    frame[3] = char(0x64);
    return frame.repeated(38);
}

// The first login: the real dialog, filled and confirmed as a user would.
class LoginPrompts : public ScriptedPrompts
{
public:
    void AskLogin(QWidget* ip_parent) override
    {
        ChangeUsernamePasswordDialog dialog(true, ip_parent);
        QTest::keyClicks(dialog.findChild<QLineEdit*>("usernameEdit"), "tester");
        QTest::keyClicks(dialog.findChild<QLineEdit*>("passwordEdit"), "secret");
        dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    }
};

// Makes the widget's window active, focuses it through its tabs and presses the tool bar's
// button of that text.
bool Press(QWidget* ip_widget, const QString& i_text)
{
    QApplication::setActiveWindow(ip_widget->window());
    FocusWidgetAndParents(ip_widget);
    ip_widget->setFocus();
    for (QAction* action : actionBar->actions())
        if (action->isVisible() && action->text() == i_text)
            return action->trigger(), true;
    return false;
}

void DoubleClick(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row, int i_column = 0)
{
    ip_tree->scrollToItem(ip_row);
    const QPoint point(ip_tree->header()->sectionViewportPosition(i_column) + 5,
                       ip_tree->visualItemRect(ip_row).center().y());
    QTest::mouseClick(ip_tree->viewport(), Qt::LeftButton, {}, point);
    QTest::mouseDClick(ip_tree->viewport(), Qt::LeftButton, {}, point);
}

void Enter(QLineEdit* ip_edit, const QString& i_text)
{
    FocusWidgetAndParents(ip_edit);
    QTest::keyClicks(ip_edit, i_text);
    QTest::keyClick(ip_edit, Qt::Key_Return);
}

// Chooses the entry of the menu the tree opens at the row.
void ChooseFromMenu(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row, const QString& i_entry)
{
    QTimer opened;
    opened.setSingleShot(true);
    opened.start(0);
    QObject::connect(&opened, &QTimer::timeout, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget()))
        {
            for (QAction* action : menu->actions())
                if (action->text() == i_entry)
                    action->trigger();
            menu->close();
        }
    });
    emit ip_tree->customContextMenuRequested(ip_tree->visualItemRect(ip_row).center());
}

QTreeWidgetItem* Find(QTreeWidget* ip_tree, const QString& i_text, int i_column)
{
    return ip_tree->findItems(i_text, Qt::MatchExactly | Qt::MatchRecursive, i_column).value(0);
}

QByteArray Contents(const QString& i_path)
{
    QFile file(i_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// What arrived of the remote files of that name, in the order downloaded.
QList<QByteArray> Arrived(const QString& i_name)
{
    QList<QByteArray> arrived;
    for (const ItemPtr& entry : d->GetType("download_entry")->GetItems().SortNumericBy("download_order", true))
        if (entry["file_name"].AsString() == i_name && entry["download_entry_status"].AsString() == "complete")
            arrived << Contents(DownloadPaths::LocalPath(transferQueueManager->GetDownloadTargetPath(entry, true)));
    return arrived;
}

QString View(QWidget* ip_chat)
{
    return ip_chat->findChild<QTextBrowser*>("chatView")->toPlainText();
}
} // namespace

// The road a new user walks through the windows, on one whole client (this process's main
// window) and another (bob, a second process) that shares music.
class TestWholeRoad : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;
    LoginPrompts m_prompts;

    void Shot(const char* i_name)
    {
        if (!ScreenshotFolder().isEmpty())
            QVERIFY(SaveScreenshot(m_run->window.get(), QString::fromLatin1(i_name)).isEmpty());
    }
    Ui::MainWindow* Form() { return m_run->window->Form(); }

    void Road()
    {
        // What an earlier run left would count as downloaded already.
        for (const char* folder : {"/Veltrane Downloads", "/Veltrane Chat Logs"})
            QDir(QDir::homePath() + folder).removeRecursively();
        QTemporaryDir music;
        QVERIFY(QDir().mkpath(music.filePath("Album/Disc 2")));
        const QList<QPair<QString, QByteArray>> songs{{"Album/Alpha Song.mp3", Mp3('\x11')},
                                                      {"Album/Beta Song.mp3", Mp3('\x22')},
                                                      {"Album/Disc 2/Gamma Song.mp3", Mp3('\x33')}};
        // Long enough at bob's upload limit to be caught running.
        QByteArray mix(3 * 1024 * 1024, '\0');
        for (int at = 0; at < mix.size(); ++at)
            mix[at] = char(at * 7 + at / 4099);
        QVERIFY(QDir().mkpath(music.filePath("Mix")));
        for (const auto& [path, bytes] : songs + QList<QPair<QString, QByteArray>>{{"Mix/Long Song.flac", mix}})
        {
            QFile file(music.filePath(path));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }

        // A logs in from the first start's dialog.
        m_run = std::make_unique<WindowRun>();
        StartupPrompts::Install(&m_prompts);
        TestServer& server = m_run->server;
        QVERIFY(m_run->Start({}, false));
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
        QCOMPARE(GetSetting("username"), QStringLiteral("tester"));
        Shot("road_1_logged_in");

        HarnessProcess bob;
        QVERIFY(bob.Start({"full"}));
        QVERIFY(bob.LogIn("bob", server.Port(), FreePortPair(),
                          {{"upload_speed_limit", "512"}, {"upload_speed_limit_enabled", "yes"}}));
        bob.Send({"share", music.path()});
        QVERIFY(bob.Take("shared"));
        bob.Send({"limit"});
        bob.Send({"join", "lobby"});
        QVERIFY(bob.Sync());

        // The room list, a room entered by a double click, chat both ways, auto-join for later.
        QTreeWidget* rooms = Form()->roomList;
        QVERIFY(Press(rooms, "Refresh Room List"));
        QTRY_VERIFY(Find(rooms, "lobby", 0));
        DoubleClick(rooms, Find(rooms, "lobby", 0));
        QTRY_COMPARE(Form()->roomsTabControl->count(), 1);
        auto* room = qobject_cast<RoomForm*>(Form()->roomsTabControl->widget(0));
        QVERIFY(room);
        Enter(room->findChild<QLineEdit*>("chatEdit"), "hello bob");
        QStringList fields;
        QVERIFY(bob.Take("event RoomChat", &fields));
        QCOMPARE(fields, QStringList({"lobby", "tester", "hello bob"}));
        bob.Send({"say", "lobby", "hi tester"});
        QTRY_VERIFY(View(room).endsWith("[bob] hi tester"));
        QVERIFY(Press(room->findChild<QLineEdit*>("chatEdit"), "Auto-Join Room [off]"));
        QVERIFY(d->GetType("room")->HasItem(Value("lobby")).IsConnected("room_autojoin"));
        Shot("road_2_room");

        // A search, its results filtered, one file downloaded by a double click and watched to the end.
        Enter(searchForm->findChild<QLineEdit*>("searchEdit"), "song");
        auto* results =
            qobject_cast<SearchResultsForm*>(searchForm->findChild<QTabWidget*>("searchTabControl")->currentWidget());
        QVERIFY(results);
        QTreeWidget* tree = results->searchResults();
        QTRY_VERIFY_WITH_TIMEOUT(Find(tree, "Gamma Song.mp3", 4), WaitMs);
        tree->expandAll();
        Enter(results->filterEdit(), "alpha");
        QTRY_VERIFY(Find(tree, "Beta Song.mp3", 4)->isHidden() || Find(tree, "Beta Song.mp3", 4)->parent()->isHidden());
        QVERIFY(!Find(tree, "Alpha Song.mp3", 4)->isHidden());
        Shot("road_3_results");
        DoubleClick(tree, Find(tree, "Alpha Song.mp3", 4), 4);
        auto* downloads = transfersForm->findChild<QTreeWidget*>("downloadsList");
        QTRY_VERIFY(Find(downloads, "Alpha Song.mp3", 2));
        const ItemPtr alpha = d->GetType("download_entry")->GetItems().First();
        QTRY_COMPARE_WITH_TIMEOUT(alpha["download_entry_status"].AsString(), QStringLiteral("complete"), WaitMs);
        QTRY_COMPARE(Find(downloads, "Alpha Song.mp3", 2)->text(3), QStringLiteral("complete"));
        QCOMPARE(Arrived("Alpha Song.mp3"), QList<QByteArray>{songs[0].second});
        FocusWidgetAndParents(downloads);
        Shot("road_4_transfers");

        // A long download cancelled while it runs, then tried again from the results: it ends whole.
        results->filterEdit()->clear();
        Enter(results->filterEdit(), "long");
        QTRY_VERIFY(!Find(tree, "Long Song.flac", 4)->isHidden());
        DoubleClick(tree, Find(tree, "Long Song.flac", 4), 4);
        QTRY_VERIFY(Find(downloads, "Long Song.flac", 2));
        QTRY_COMPARE_WITH_TIMEOUT(Find(downloads, "Long Song.flac", 2)->text(3), QStringLiteral("downloading"), WaitMs);
        FocusWidgetAndParents(downloads);
        ChooseFromMenu(downloads, Find(downloads, "Long Song.flac", 2), "Remove download");
        QVERIFY(!Find(downloads, "Long Song.flac", 2));
        for (const ItemPtr& entry : d->GetType("download_entry")->GetItems())
            QVERIFY(entry["file_name"].AsString() != QLatin1String("Long Song.flac"));
        DoubleClick(tree, Find(tree, "Long Song.flac", 4), 4);
        QTRY_COMPARE_WITH_TIMEOUT(Arrived("Long Song.flac"), QList<QByteArray>{mix}, 2 * WaitMs);
        QCOMPARE(Find(downloads, "Long Song.flac", 2)->text(3), QStringLiteral("complete"));

        // bob's shares, browsed from the room's user list; the album downloaded whole.
        auto* users = room->findChild<QTreeWidget*>("userList");
        QTRY_VERIFY(Find(users, "bob", 2));
        ChooseFromMenu(users, Find(users, "bob", 2), "Browse user's files");
        ShareForm* share = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((share = sharesForm->findChild<ShareForm*>()) != nullptr, WaitMs);
        auto* folders = share->findChild<QTreeWidget*>("folderTree");
        QTRY_VERIFY_WITH_TIMEOUT(Find(folders, "Album", 0), WaitMs);
        FocusWidgetAndParents(folders);
        Shot("road_5_browse");
        DoubleClick(folders, Find(folders, "Album", 0));
        QTRY_COMPARE_WITH_TIMEOUT(Arrived("Gamma Song.mp3"), QList<QByteArray>{songs[2].second}, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(Arrived("Beta Song.mp3"), QList<QByteArray>{songs[1].second}, WaitMs);

        // A private chat from the room's user list, both ways.
        DoubleClick(users, Find(users, "bob", 2), 2);
        ChatForm* chat = nullptr;
        QTRY_VERIFY((chat = chatsForm->findChild<ChatForm*>()) != nullptr);
        Enter(chat->findChild<QLineEdit*>("chatEdit"), "psst");
        QVERIFY(bob.Take("event PrivateChat", &fields));
        QCOMPARE(fields.mid(0, 2), QStringList({"tester", "psst"}));
        bob.Send({"pm", "tester", "hush"});
        QTRY_VERIFY(View(chat).contains("hush"));
        Shot("road_6_private_chat");

        // An Option changed on its page, to be found so after the restart.
        Form()->tabControl->setCurrentWidget(Form()->optionsTab);
        const int perUser = Form()->maxUploadsPerUserSpinBox->value() + 3;
        Form()->maxUploadsPerUserSpinBox->setValue(perUser);

        // Quit, and start again: the completed downloads, the room, both logs and the Option as
        // they were.
        m_run->window->close();
        m_run->window.reset();
        m_run->window = std::make_unique<MainWindow>();
        m_run->window->show();
        m_run->window->Init();
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
        QTRY_COMPARE(Form()->roomsTabControl->count(), 1);
        QCOMPARE(Form()->maxUploadsPerUserSpinBox->value(), perUser);
        room = qobject_cast<RoomForm*>(Form()->roomsTabControl->widget(0));
        QVERIFY(Press(room->findChild<QLineEdit*>("chatEdit"), "Chat Log"));
        auto* log = qobject_cast<ChatLogForm*>(Form()->roomsTabControl->currentWidget());
        QVERIFY(log);
        const QString roomLog = log->findChild<QTextEdit*>("logEdit")->toPlainText();
        QVERIFY2(roomLog.contains("[tester] hello bob") && roomLog.contains("[bob] hi tester"), qPrintable(roomLog));

        downloads = transfersForm->findChild<QTreeWidget*>("downloadsList");
        QVERIFY(Press(downloads, "Completed Downloads"));
        auto* completed = transfersForm->findChild<QTreeWidget*>("downloadList");
        QVERIFY(completed);
        const auto names = [completed] {
            QStringList names;
            for (int row = 0; row < completed->topLevelItemCount(); ++row)
                names << completed->topLevelItem(row)->text(0);
            names.sort();
            return names;
        };
        QTRY_COMPARE(names(), QStringList({"Alpha Song.mp3", "Beta Song.mp3", "Gamma Song.mp3", "Long Song.flac"}));
        Shot("road_7_restarted");

        chatsForm->OpenChatForm("bob");
        chat = chatsForm->findChild<ChatForm*>();
        QVERIFY(Press(chat->findChild<QLineEdit*>("chatEdit"), "Chat Log"));
        QTRY_VERIFY(chatsForm->findChild<ChatLogForm*>());
        const QString privateLog =
            chatsForm->findChild<ChatLogForm*>()->findChild<QTextEdit*>("logEdit")->toPlainText();
        QVERIFY2(privateLog.contains("psst") && privateLog.contains("hush"), qPrintable(privateLog));

        // A folder shared from the Options page, for everyone: bob's search finds its file.
        QTemporaryDir mine;
        QFile tune(mine.filePath("Omega Tune.mp3"));
        QVERIFY(tune.open(QIODevice::WriteOnly) && tune.write(Mp3('\x44')) > 0);
        tune.close();
        Form()->tabControl->setCurrentWidget(Form()->optionsTab);
        Form()->optionsTabControl->setCurrentWidget(Form()->fileSharingOptionsTab);
        QVERIFY(Press(Form()->sharedFoldersList, "Share Folder"));
        auto* sharing = m_run->window->findChild<AddSharedFolderDialog*>();
        QVERIFY(sharing && sharing->isVisible());
        m_prompts.m_folders = QStringList(mine.path());
        sharing->findChild<QPushButton*>("selectFolderButton")->click();
        sharing->findChild<QCheckBox*>("everyoneCheckBox")->setChecked(true);
        sharing->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        QTRY_COMPARE(Form()->sharedFoldersList->topLevelItemCount(), 1);
        Shot("road_8_shared");
        bob.Send({"search", "omega tune"});
        QVERIFY(bob.Take("searchtoken"));
        QVERIFY(bob.Take("event Result", &fields, WaitMs));
        QCOMPARE(fields.value(0), QStringLiteral("tester"));
        QVERIFY2(fields.value(1).endsWith("\\Omega Tune.mp3"), qPrintable(fields.join(' ')));
    }

private slots:
    void cleanup() { m_run.reset(); }

    void wholeRoad() { Road(); }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        Road();
    }
};

QTEST_MAIN(TestWholeRoad)
#include "test_whole_road.moc"
