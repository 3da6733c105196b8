#include "ChatForm.h"
#include "ChatLines.h"
#include "ChatLog.h"
#include "ChatLogForm.h"
#include "ChatsForm.h"
#include "EventToolBar.h"
#include "MessageListForm.h"
#include "RoomFixture.h"
#include "WindowFixture.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

// The room tabs' engine and window types, with those of private chats and their container.
struct ChatFixture : RoomFixture
{
    ChatFixture()
    {
        Type* user = d->GetType("user");
        user->RelateToType(d->NewType("user_chat_widget", Primary, false, true), One, One);
        user->RelateToType(d->NewType("sent_empty_share_warning_message", Tertiary, false, true), Many, One);
        SetSetting(QStringLiteral("log_private_chat"), QStringLiteral("yes"));
        chats = std::make_unique<ChatsForm>();
        chats->Init();
    }
    ~ChatFixture() { chats.reset(); }

    std::unique_ptr<ChatsForm> chats;
};

class UrlCatcher : public QObject
{
    Q_OBJECT

public slots:
    void Open(const QUrl& i_url) { urls << i_url; }

public:
    QList<QUrl> urls;
};

class TestPrivateChat : public QObject
{
    Q_OBJECT

    std::unique_ptr<ChatFixture> f;

    static QStringList Lines(QWidget* ip_form, const char* ip_view)
    {
        return ip_form->findChild<QTextEdit*>(QLatin1String(ip_view))->toPlainText().split(QLatin1Char('\n'));
    }
    static QStringList ChatLines(ChatForm* ip_form) { return Lines(ip_form, "chatView"); }
    static QStringList LogLines(ChatLogForm* ip_viewer) { return Lines(ip_viewer, "logEdit"); }
    static QLineEdit* Edit(QWidget* ip_form, const char* ip_name = "chatEdit")
    {
        return ip_form->findChild<QLineEdit*>(QLatin1String(ip_name));
    }
    static QString LogFile(const QString& i_user)
    {
        QFile file(ChatLogPath(ChatLogKind::User, i_user));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("(none)");
    }
    static bool HasIcon(QTabWidget* ip_tabs, int i_index, const char* ip_icon)
    {
        return ip_tabs->tabIcon(i_index).pixmap(16).toImage() == QIcon(QLatin1String(ip_icon)).pixmap(16).toImage();
    }
    // The last text of each frame with the code: the user to watch, or the message sent.
    QStringList Sent(quint32 i_code)
    {
        QStringList texts;
        for (const TestServer::Frame& frame : f->testServer->FramesWithCode(i_code, QStringLiteral("alice")))
        {
            WireReader body(frame.m_body);
            QString text;
            while (!body.AtEnd() && !body.Failed())
                text = body.Str();
            texts << text;
        }
        return texts;
    }

private slots:
    void init()
    {
        f = std::make_unique<ChatFixture>();
        QVERIFY(f->Login());
        QDir(ChatLogFolder(ChatLogKind::User)).removeRecursively();
    }

    void cleanup() { f.reset(); }

    // Own lines are echoed, logged and sent as typed; the wire turns line breaks into blanks.
    void ownAndReceivedLines()
    {
        ChatForm* form = f->chats->GetChatForm(QStringLiteral("bob"));
        QLineEdit* edit = Edit(form);
        QTest::keyClick(edit, Qt::Key_Return); // nothing typed: nothing sent or shown
        for (const char* typed : {"  /me waves  ", "/me", "   ", "two\nlines"})
        {
            edit->setText(QString::fromUtf8(typed));
            QTest::keyClick(edit, Qt::Key_Return);
            QCOMPARE(edit->text(), QString());
        }
        form->AddChat(QStringLiteral("bob"), QStringLiteral(" <b>hi</b> "));
        ChatLogForm::Open(f->chats->Tabs(), f->User(QStringLiteral("bob")), ChatLogKind::User);
        auto* viewer = qobject_cast<ChatLogForm*>(f->chats->Tabs()->widget(2));
        form->AddChat(QStringLiteral("bob"), QStringLiteral("seen"));
        SetSetting(QStringLiteral("log_private_chat"), QStringLiteral("no"));
        form->AddChat(QStringLiteral("bob"), QStringLiteral("unlogged"));

        QVERIFY(f->testServer->WaitForFrames(SM_PRIVATE_MESSAGE, 4, QStringLiteral("alice")));
        QCOMPARE(Sent(SM_PRIVATE_MESSAGE), QStringList({"  /me waves  ", "/me", "   ", "two lines"}));
        QCOMPARE(ChatLines(form),
                 QStringList({"* alice waves", "* Chat started Dec 6 3:07:22 pm", "[alice] /me", "[alice] ",
                              "[alice] two lines", "[bob] <b>hi</b> ", "[bob] seen", "[bob] unlogged"}));
        QCOMPARE(LogFile(QStringLiteral("bob")), QStringLiteral("[Dec 6 3:07:22 pm] * alice waves\n"
                                                                "[Dec 6 3:07:22 pm][alice] /me\n"
                                                                "[Dec 6 3:07:22 pm][alice]    \n"
                                                                "[Dec 6 3:07:22 pm][alice] two lines\n"
                                                                "[Dec 6 3:07:22 pm][bob]  <b>hi</b> \n"
                                                                "[Dec 6 3:07:22 pm][bob] seen\n"));
        QCOMPARE(LogLines(viewer).last(), QStringLiteral("[Dec 6 3:07:22 pm][bob] seen"));
    }

    // The partner's away state, and the empty-share warning sent to them: shown first, logged once.
    void partnerAndWarning()
    {
        ItemPtr bob = f->User(QStringLiteral("bob"));
        bob += FlagItem("is_away");
        bob += d->GetType("sent_empty_share_warning_message")->GetItem(Value("Please share"));
        ChatForm* form = f->chats->GetChatForm(QStringLiteral("bob"));
        bob.Disconnect("is_away");
        bob += FlagItem("is_away");
        QCOMPARE(ChatLines(form), QStringList({"* Chat started Dec 6 3:07:22 pm", "[alice] Please share",
                                               "* bob is away.", "* bob is available.", "* bob is away."}));
        f->chats->OnChatTabClosed(f->chats->Tabs()->indexOf(form));
        QCOMPARE(ChatLines(f->chats->GetChatForm(QStringLiteral("bob"))), QStringList({"* bob is away."}));
        QCOMPARE(LogFile(QStringLiteral("bob")), QStringLiteral("[Dec 6 3:07:22 pm][alice] Please share\n"));
    }

    void tabs()
    {
        QTabWidget* tabs = f->chats->Tabs();
        ItemPtr carol = f->User(QStringLiteral("carol"));
        carol += FlagItem("is_online");
        ChatForm* bob = f->chats->GetChatForm(QStringLiteral("bob"));
        f->chats->GetChatForm(QStringLiteral("carol"));
        QCOMPARE(f->chats->GetChatForm(QStringLiteral("bob")), bob);
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(1) + tabs->tabText(2), QStringLiteral("bobcarol"));
        QCOMPARE(tabs->currentIndex(), 0); // new tabs wait at the end
        QVERIFY(HasIcon(tabs, 1, ":/icons/offline_icon") && HasIcon(tabs, 2, ":/icons/online_icon"));
        f->chats->OpenChatForm(QStringLiteral("carol"));
        QCOMPARE(tabs->currentIndex(), 2);
        QCOMPARE(tabs->count(), 3);
        carol.Disconnect("is_online");
        f->User(QStringLiteral("bob")) += FlagItem("is_online");
        f->User(QStringLiteral("dave")) += FlagItem("is_online"); // no tab: nothing to change
        QVERIFY(HasIcon(tabs, 1, ":/icons/online_icon") && HasIcon(tabs, 2, ":/icons/offline_icon"));

        // The chat and its log viewer close on their own; the message list stays.
        bob->OnActionTriggered(bob, QStringLiteral("user_chat_log"));
        bob->OnActionTriggered(bob, QStringLiteral("user_chat_log"));
        QCOMPARE(tabs->count(), 4);
        QWidget* viewer = tabs->widget(3);
        f->chats->OnChatTabClosed(1);
        QCOMPARE(tabs->indexOf(viewer), 2);
        QVERIFY(!f->User(QStringLiteral("bob")).IsConnected("user_chat_widget"));
        f->chats->OnChatTabClosed(2);
        QVERIFY(!f->User(QStringLiteral("bob")).IsConnected("chat_log_form"));
        f->chats->OnChatTabClosed(0);
        QCOMPARE(tabs->count(), 2);

        // Each new tab asks to track its user; the server hears it once.
        f->chats->GetChatForm(QStringLiteral("bob"));
        QVERIFY(f->testServer->WaitForFrames(SM_WATCH_USER, 2, QStringLiteral("alice")));
        QTest::qWait(50);
        QCOMPARE(Sent(SM_WATCH_USER), QStringList({"bob", "carol"}));
    }

    // Past 100 tabs a new partner's chat waits off the bar, with its lines and its notice; the
    // notice's button, or opening the chat, gives it its tab, current, in place of another.
    void chats_past_a_full_bar_get_their_tabs_when_brought_forward()
    {
        EventToolBar bar;
        QTabWidget* tabs = f->chats->Tabs();
        for (int n = 1; n < 120; ++n)
            f->chats->GetChatForm(QStringLiteral("user%1").arg(n));
        QCOMPARE(tabs->count(), 100);
        ChatForm* carol = f->chats->GetChatForm(QStringLiteral("carol"));
        QCOMPARE(f->chats->GetChatForm(QStringLiteral("carol")), carol);
        QCOMPARE(tabs->indexOf(carol), -1);
        carol->AddChat(QStringLiteral("carol"), QStringLiteral("hi"));
        QCOMPARE(ChatLines(carol).last(), QStringLiteral("[carol] hi"));
        QCOMPARE(bar.actions().size(), 1);
        bar.actions().first()->trigger();
        QCOMPARE(tabs->currentWidget(), carol);
        QCOMPARE(tabs->tabText(99), QStringLiteral("carol"));

        f->chats->OpenChatForm(QStringLiteral("user110"));
        QCOMPARE(tabs->tabText(tabs->currentIndex()), QStringLiteral("user110"));
        QCOMPARE(tabs->count(), 100);
        f->chats->OpenChatForm(QStringLiteral("user5"));
        QCOMPARE(tabs->tabText(tabs->currentIndex()), QStringLiteral("user5"));
        QCOMPARE(tabs->count(), 100);
    }

    void loading_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        const QByteArray longLine(65534, 'a');
        QTest::newRow("crlf") << QByteArray("one\r\n  two  \r\n\r\nthree") << QStringList({"one", "two", "", "three"});
        // The first piece ends inside "é": its byte goes on with the second piece.
        QTest::newRow("long line") << longLine + "\xc3\xa9z\n"
                                   << QStringList({QString::fromLatin1(longLine), QStringLiteral("éz")});
        QTest::newRow("nul") << QByteArray("ab\0cd\nef\n", 9) << QStringList({"ab", "ef"});
        QTest::newRow("missing") << QByteArray() << QStringList({""});
    }

    void loading()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        const QString path = QDir::home().filePath(QStringLiteral("viewer.log"));
        QFile::remove(path);
        if (!bytes.isNull())
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }
        ChatLogForm viewer(path, nullptr);
        QCOMPARE(LogLines(&viewer), lines);
        QCOMPARE(viewer.Path(), bytes.isNull() ? QString() : path);
    }

    // Steps: "=text" types the search text, ">" and "<" are the buttons, "+line" a line logged
    // meanwhile. After each: the mark's start ("-": none), then Back and Forward enabled.
    void search_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("states");
        QTest::newRow("walk") << QStringList({"Alpha", "beta ALPHA", "gamma alpha"})
                              << QStringList({"=alpha", ">", ">", "<", "=alph", "=alphax", "="})
                              << QStringList({"0 0 1", "11 1 1", "23 1 0", "11 1 1", "0 0 1", "- 0 0", "- 0 0"});
        QTest::newRow("single match") << QStringList({"one line"}) << QStringList({"=LINE"}) << QStringList({"4 0 0"});
        QTest::newRow("adjoining matches") << QStringList({"abab"}) << QStringList({"=ab"}) << QStringList({"0 0 0"});
        QTest::newRow("added lines") << QStringList({"alpha"}) << QStringList({"=alpha", "+  more alpha ", "=alp", ">"})
                                     << QStringList({"0 0 0", "0 0 0", "0 0 1", "11 1 0"});
    }

    void search()
    {
        QFETCH(QStringList, lines);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, states);
        const QString path = QDir::home().filePath(QStringLiteral("search.log"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(lines.join(QLatin1Char('\n')).toUtf8());
        file.close();
        SetSetting(QStringLiteral("color_input_background"), QStringLiteral("#ffffff"));
        SetSetting(QStringLiteral("color_input_text"), QStringLiteral("#000000"));
        ChatLogForm viewer(path, nullptr);
        auto* view = viewer.findChild<QTextEdit*>(QStringLiteral("logEdit"));
        auto* back = viewer.findChild<QPushButton*>(QStringLiteral("searchBackButton"));
        auto* forward = viewer.findChild<QPushButton*>(QStringLiteral("searchForwardButton"));
        for (int n = 0; n < steps.size(); ++n)
        {
            const QString step = steps.at(n);
            if (step.startsWith(QLatin1Char('=')))
                Edit(&viewer, "searchEdit")->setText(step.mid(1));
            else if (step.startsWith(QLatin1Char('+')))
                viewer.AddLine(step.mid(1));
            else
                (step == QLatin1String(">") ? forward : back)->click();
            const QList<QTextEdit::ExtraSelection> marks = view->extraSelections();
            const QString mark =
                marks.isEmpty() ? QStringLiteral("-") : QString::number(marks[0].cursor.selectionStart());
            QCOMPARE(QStringLiteral("%1 %2 %3").arg(mark).arg(back->isEnabled()).arg(forward->isEnabled()),
                     states.at(n));
            if (!marks.isEmpty())
            {
                QCOMPARE(marks[0].cursor.selectedText().toLower(), Edit(&viewer, "searchEdit")->text().toLower());
                QCOMPARE(marks[0].format.foreground().color(), QColor(Qt::white));
                QCOMPARE(marks[0].format.background().color(), QColor(Qt::black));
                QCOMPARE(view->textCursor().position(), marks[0].cursor.selectionStart());
            }
        }
    }

    void clearAndFolder()
    {
        const QString path = ChatLogPath(ChatLogKind::User, QStringLiteral("bob"));
        QDir().mkpath(ChatLogFolder(ChatLogKind::User));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("one\n") == 4);
        file.close();
        ChatLogForm viewer(path, nullptr);
        ScriptedPrompts prompts;
        StartupPrompts::Install(&prompts);
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
        const auto clear = [&viewer, &prompts](QMessageBox::StandardButton i_answer) {
            prompts.m_answers = {i_answer};
            viewer.OnActionTriggered(&viewer, QStringLiteral("clear_chat_log"));
        };
        clear(QMessageBox::No);
        viewer.OnActionTriggered(nullptr, QStringLiteral("clear_chat_log")); // another window's action
        QVERIFY(QFile::exists(path));
        QCOMPARE(prompts.m_asked, (QList<QPair<QString, QString>>{
                                      {"Clear log?", "Are you sure you want to erase the contents of this log?"}}));

        // A log that cannot be removed stays in view, and the user is told.
        QVERIFY(QFile::remove(path) && QDir().mkdir(path));
        clear(QMessageBox::Yes);
        QCOMPARE(LogLines(&viewer), QStringList({"one"}));
        QCOMPARE(prompts.m_informed.size(), 1);
        QVERIFY(QDir().rmdir(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        clear(QMessageBox::Yes);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(LogLines(&viewer), QStringList({""}));

        viewer.OnActionTriggered(&viewer, QStringLiteral("open_log_folder"));
        QCOMPARE(catcher.urls,
                 QList<QUrl>({QUrl::fromLocalFile(QDir(ChatLogFolder(ChatLogKind::User)).absolutePath())}));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        // Where the desktop opens no folder, the user learns which one.
        viewer.OnActionTriggered(&viewer, QStringLiteral("open_log_folder"));
        const QString folder = QDir::toNativeSeparators(QDir(ChatLogFolder(ChatLogKind::User)).absolutePath());
        QCOMPARE(prompts.m_informed.constLast(),
                 qMakePair(QStringLiteral("Cannot open"), QString("The desktop could not open:\n" + folder)));
        StartupPrompts::Install(nullptr);
    }

    // One row per partner, the latest message on top; the stored messages rebuild the rows by
    // their times after a restart.
    void messageList()
    {
        const QString dataFile = QDir::home().filePath(QStringLiteral("messages.dat"));
        const auto rows = [] {
            QStringList texts;
            QTreeWidget* list = chatsForm->MessageList()->findChild<QTreeWidget*>(QStringLiteral("messageList"));
            for (int row = 0; row < list->topLevelItemCount(); ++row)
                texts << QStringList({list->topLevelItem(row)->text(0), list->topLevelItem(row)->text(1),
                                      list->topLevelItem(row)->text(2)})
                             .join(QLatin1Char('|'));
            return texts;
        };
        const QString at1000 = ChatLongTime(QDateTime::fromSecsSinceEpoch(1000));
        const QString at3000 = ChatLongTime(QDateTime::fromSecsSinceEpoch(3000));
        MessageListForm* list = f->chats->MessageList();
        list->Init();
        list->OnPrivateChat(QStringLiteral("bob"), QStringLiteral("hi"), 1000, true);
        list->OnPrivateChat(QStringLiteral("carol"), QStringLiteral("same"), 2000, true);
        gp_server->SendPrivateChat(QStringLiteral("bob"), QStringLiteral("same"));
        list->OnPrivateChat(QStringLiteral("dave"), QStringLiteral("yo"), 3000, false);
        const QStringList live{QStringLiteral("Dec 6 3:07:22 pm|bob|[alice] same"), at3000 + "|dave|[dave] yo",
                               ChatLongTime(QDateTime::fromSecsSinceEpoch(2000)) + "|carol|[carol] same"};
        QCOMPARE(rows(), QStringList({live[1], live[0], live[2]}));
        QCOMPARE(d->GetType("private_message_text")->HasItem(Value("same")).GetItems("private_message").size(),
                 size_t(2));
        QVERIFY(f->testServer->WaitForFrames(SM_WATCH_USER, 3, QStringLiteral("alice")));
        QCOMPARE(Sent(SM_WATCH_USER), QStringList({"bob", "carol", "dave"}));
        list->OnPrivateChat(QStringLiteral("bob"), QStringLiteral("again"), 1000, true);
        QCOMPARE(rows().first(), at1000 + "|bob|[bob] again");
        dataSaver->Save(dataFile);

        f.reset();
        f = std::make_unique<ChatFixture>();
        f->chats->MessageList()->Init();
        dataSaver->Load(dataFile);
        QCOMPARE(rows(), live);
    }

    // A row shows one line of a message, a line's worth at most; the message is kept whole.
    void message_list_row_shows_the_start_of_a_message()
    {
        MessageListForm* list = f->chats->MessageList();
        list->Init();
        const QString flood = "hi" + QString(QChar(0x2029)) + "[12:00:00][alice] " + QString(131000, QChar(0xAC00));
        list->OnPrivateChat(QStringLiteral("mallory"), flood, 1000, true);
        const QString row =
            chatsForm->MessageList()->findChild<QTreeWidget*>(QStringLiteral("messageList"))->topLevelItem(0)->text(2);
        QVERIFY(row.startsWith(QStringLiteral("[mallory] hi [12:00:00][alice] ") + QChar(0xAC00)));
        QCOMPARE(row.size(), 10 + 500 + 1);
        QVERIFY(d->GetType("private_message_text")->HasItem(Value(flood)));
    }
};

QTEST_MAIN(TestPrivateChat)
#include "test_private_chat.moc"
