#include "EventToolBar.h"
#include "FilterHelpDialog.h"
#include "HarnessProcess.h"
#include "RawPeer.h"
#include "Screenshot.h"
#include "SearchForm.h"
#include "SearchReplies.h"
#include "SearchResultsForm.h"
#include "Server.h"
#include "WindowFixture.h"
#include "Wire.h"
#include "ui_SearchForm.h"
#include "ui_SearchResultsForm.h"

#include <QAction>
#include <QRandomGenerator>
#include <QtTest>

namespace
{
ReplyFile File(const QString& i_path, qint64 i_size = 1000, int i_bitrate = 0, const QString& i_mode = QString())
{
    return ReplyFile{i_path, i_size, i_bitrate, i_mode, -1};
}
} // namespace

// The search window on a whole running client logged in to the loopback server: the searches it
// sends, the tabs it opens and the rows, order and filters of their results.
class TestSearchWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<WindowRun> m_run;

    Ui::SearchForm* Form() const { return searchForm->Form(); }
    QTabWidget* Tabs() const { return Form()->searchTabControl; }
    SearchResultsForm* Page(int i_index, QTabWidget* ip_tabs = nullptr) const
    {
        return qobject_cast<SearchResultsForm*>((ip_tabs ? ip_tabs : Tabs())->widget(i_index));
    }

    void Search(const QString& i_kind, const QString& i_text)
    {
        Form()->searchTargetBox->setCurrentText(i_kind);
        Form()->searchEdit->setText(i_text);
        QTest::keyClick(Form()->searchEdit, Qt::Key_Return);
    }

    // A tab for the text, as a typed network-wide search opens it; returns its token.
    unsigned int OpenTab(const QString& i_text)
    {
        Search(QStringLiteral("All"), i_text);
        return Token(Tabs()->count() - 1);
    }

    unsigned int Token(int i_index) const
    {
        return d->GetType("search_results_widget")->HasItem(Value(Page(i_index)))["search_request"].AsUInt();
    }

    bool HasIcon(int i_index, const char* i_icon) const
    {
        return Tabs()->tabIcon(i_index).pixmap(16).toImage() == QIcon(i_icon).pixmap(16).toImage();
    }

    // Each row as its non-empty cells, indented by level, "~" before a hidden row.
    static QStringList Rows(SearchResultsForm* ip_page)
    {
        QStringList lines;
        for (QTreeWidgetItemIterator it(ip_page->searchResults()); *it; ++it)
        {
            QStringList cells;
            for (int column = 0; column < 7; ++column)
                if (!(*it)->text(column).isEmpty())
                    cells << (*it)->text(column);
            const int level = (*it)->parent() ? ((*it)->parent()->parent() ? 2 : 1) : 0;
            lines << QString(level, QLatin1Char(' ')) + ((*it)->isHidden() ? "~" : "") + cells.join('|');
        }
        return lines;
    }

    // The server frames of the code sent since the last clearing, as strings and numbers.
    QList<QStringList> Sent(quint32 i_code, const QString& i_layout) const
    {
        QList<QStringList> frames;
        for (const TestServer::Frame& frame : m_run->server.FramesWithCode(i_code, QStringLiteral("tester")))
        {
            WireReader reader(frame.m_body);
            QStringList fields;
            for (const QChar kind : i_layout)
                fields << (kind == QLatin1Char('s') ? reader.Str() : QString::number(reader.U32()));
            frames << fields;
        }
        return frames;
    }

private slots:
    void initTestCase()
    {
        m_run = std::make_unique<WindowRun>();
        QVERIFY(m_run->Start());
    }

    void cleanupTestCase() { m_run.reset(); }

    void cleanup()
    {
        for (QTabWidget* tabs : {Tabs(), static_cast<QTabWidget*>(Form()->wishListTabControl)})
            while (tabs->count() > 0)
                emit tabs->tabCloseRequested(0);
        d->GetType("saved_filter")->GetItems().Remove();
        ClearSetting(QStringLiteral("default_search_filter"));
        m_run->server.ClearFrames();
        m_run->prompts.m_informed.clear();
    }

    void searchKinds()
    {
        // A network-wide search: trimmed, with its related searches, in front, focused.
        Search(QStringLiteral("All"), QStringLiteral("  abc  "));
        QVERIFY(m_run->server.WaitForFrames(SM_RELATED_SEARCHES));
        const QString token = QString::number(Token(0));
        QCOMPARE(Sent(SM_FILE_SEARCH, QStringLiteral("ns")), (QList<QStringList>{{token, "abc"}}));
        QCOMPARE(Sent(SM_RELATED_SEARCHES, QStringLiteral("s")), (QList<QStringList>{{"abc"}}));
        QCOMPARE(Tabs()->tabText(0), QStringLiteral("abc"));
        QVERIFY(HasIcon(0, ":/icons/search_icon"));
        QCOMPARE(Tabs()->currentIndex(), 0);
        QTRY_COMPARE(QApplication::focusWidget(), Page(0)->searchResults());
        QVERIFY(Form()->searchEdit->text().isEmpty());

        // The user list: one message per listed user online, all with one token.
        for (const char* name : {"alice", "bob", "carol"})
            d->GetType("user")->GetItem(Value(name)).NewItem("in_user_list");
        for (const char* name : {"alice", "bob", "dave"})
            d->GetType("user")->GetItem(Value(name)) += d->GetType("is_online")->GetGlobalNullItem();
        Search(QStringLiteral("User List"), QStringLiteral("xyz"));
        QVERIFY(m_run->server.WaitForFrames(SM_USER_SEARCH, 2));
        const QString listToken = QString::number(Token(1));
        QList<QStringList> perUser = Sent(SM_USER_SEARCH, QStringLiteral("sns"));
        std::sort(perUser.begin(), perUser.end());
        QCOMPARE(perUser, (QList<QStringList>{{"alice", listToken, "xyz"}, {"bob", listToken, "xyz"}}));
        QVERIFY(HasIcon(1, ":/icons/users_icon"));

        // Rooms, in the order joined; leaving removes exactly its own entry.
        gp_server->EnterRoom(QStringLiteral("Lobby"), false);
        gp_server->EnterRoom(QStringLiteral("LOBBY"), false);
        QTRY_COMPARE(Form()->searchTargetBox->count(), 4);
        Search(QStringLiteral("Room: Lobby"), QStringLiteral("r"));
        QVERIFY(m_run->server.WaitForFrames(SM_ROOM_SEARCH));
        QCOMPARE(Sent(SM_ROOM_SEARCH, QStringLiteral("sns")),
                 (QList<QStringList>{{"Lobby", QString::number(Token(2)), "r"}}));
        QVERIFY(HasIcon(2, ":/icons/room_icon"));
        gp_server->LeaveRoom(QStringLiteral("Lobby"));
        QTRY_COMPARE(Form()->searchTargetBox->count(), 3);
        QCOMPARE(Form()->searchTargetBox->itemText(2), QStringLiteral("Room: LOBBY"));

        // Blank: nothing at all.
        m_run->server.ClearFrames();
        Search(QStringLiteral("All"), QStringLiteral(" \t "));
        QCOMPARE(Tabs()->count(), 3);
        QVERIFY(m_run->server.Frames(QStringLiteral("tester")).isEmpty());
    }

    // Offline, a search is not silently dropped into a tab that stays empty.
    void offlineSearchIsRefused()
    {
        gp_server->Disconnect();
        Search(QStringLiteral("All"), QStringLiteral("abc"));
        QCOMPARE(m_run->prompts.m_informed.value(0).second, QStringLiteral("You must be connected to search."));
        QCOMPARE(m_run->prompts.m_informed.size(), 1);
        QCOMPARE(Tabs()->count(), 0);
        QCOMPARE(Form()->searchEdit->text(), QStringLiteral("abc"));
        QVERIFY(d->GetType("search_request")->GetItems().empty());
        gp_server->Connect();
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
    }

    void rows()
    {
        const unsigned int first = OpenTab(QStringLiteral("one"));
        const unsigned int second = OpenTab(QStringLiteral("two"));
        SendSearchReply(first, {"bob", false, 1024, 7},
                        {File("Music\\Artist\\Album\\b.mp3", 5000000000LL, 320, "vbr"), File("x\\y.txt")});
        SendSearchReply(first, {"amy", true, 0, 3}, {File("Music\\Artist\\Album\\a.mp3", 1)});
        // The same user again: same user row, same folder row, and a row for the duplicate too.
        SendSearchReply(first, {"bob", true, 2560, 0},
                        {File("Music\\Artist\\Album\\b.mp3", 5000000000LL, 320, "vbr"), File("x\\z.txt", 2)});
        SendSearchReply(second, {"bob", true, 2560, 0}, {File("x\\z.txt", 2)});
        QCOMPARE(Rows(Page(0)), (QStringList{"bob|7|1.0", " Album/Artist/Music", "  b.mp3|5,000,000,000|320 VBR",
                                             "  b.mp3|5,000,000,000|320 VBR", " x", "  y.txt|1,000", "  z.txt|2",
                                             "amy|Y", " Album/Artist/Music", "  a.mp3|1"}));
        QCOMPARE(Rows(Page(1)), (QStringList{"bob|Y|2.5", " x", "  z.txt|2"}));
        QVERIFY(Page(0)->searchResults()->topLevelItem(0)->child(0)->isExpanded());
        // A size of hundreds of megabytes is read whole, not cut short.
        QTreeWidget* tree = Page(0)->searchResults();
        QVERIFY(tree->columnWidth(5) > tree->fontMetrics().horizontalAdvance(QStringLiteral("999,999,999")) + 8);

        // A late reply for a closed search adds nothing anywhere; a sort still pending for the
        // closed tab never runs on it.
        emit Tabs()->tabCloseRequested(1);
        QVERIFY(!d->GetType("search_request")->HasItem(Value(second)));
        SendSearchReply(second, {"bob", true, 1, 0}, {File("x\\late.txt")});
        QCOMPARE(Tabs()->count(), 1);
        QCOMPARE(Rows(Page(0)).size(), 10);
        QTest::qWait(1200);
        QCOMPARE(Rows(Page(0)).first(), QStringLiteral("amy|Y"));
    }

    void ordering_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("available") << 1 << QStringList{"y1", "y2", "y3", "q0", "q2", "q10"};
        QTest::newRow("fastest") << 2 << QStringList{"q0", "y1", "q2", "y2", "y3", "q10"};
    }

    void ordering()
    {
        QFETCH(int, column);
        QFETCH(QStringList, order);
        const unsigned int token = OpenTab(QStringLiteral("order"));
        // name, free slot, bytes per second, queue
        const QList<ReplyUser> repliers{{"q10", false, 0, 10},  {"y2", true, 1024, 5},   {"q0", false, 921600, 0},
                                        {"y1", true, 51712, 0}, {"q2", false, 51610, 2}, {"y3", true, 1024, 9}};
        for (const ReplyUser& user : repliers)
            SendSearchReply(token, user, {File("d\\b.mp3"), File("d\\a.mp3"), File("d\\B.mp3")});
        Page(0)->SetSortingParamters(column, Qt::DescendingOrder);
        Page(0)->Sort();
        QTreeWidget* tree = Page(0)->searchResults();
        QStringList users;
        for (int index = 0; index < tree->topLevelItemCount(); ++index)
            users << tree->topLevelItem(index)->text(0);
        // y1 (50.5) before y2 (1.0); y2 and y3 tie at 1.0 and keep their order.
        QCOMPARE(users, order);
        QTreeWidgetItem* folder = tree->topLevelItem(0)->child(0);
        QCOMPARE((QStringList{folder->child(0)->text(4), folder->child(1)->text(4), folder->child(2)->text(4)}),
                 (QStringList{"b.mp3", "a.mp3", "B.mp3"}));
    }

    // The rows a filter leaves do not depend on whether they came before or after the filter.
    void filterIndependentOfArrival()
    {
        QRandomGenerator random(18);
        const QStringList words{"rock", "live", "demo", "mix", "Rock"};
        const QStringList tokens{"rock", "-live", "demo", "mfif:2", "mbr:192", "isvbr", "mfs:2", "mix", "-", "ROCK"};
        for (int round = 0; round < 30; ++round)
        {
            QString filter;
            for (int count = random.bounded(1, 4); count > 0; --count)
                filter += tokens[random.bounded(tokens.size())] + QLatin1Char(' ');
            QList<QPair<ReplyUser, QList<ReplyFile>>> replies;
            for (int reply = random.bounded(1, 8); reply > 0; --reply)
            {
                QList<ReplyFile> files;
                for (int file = random.bounded(1, 5); file > 0; --file)
                    files << File(QStringLiteral("%1\\%2 %3.mp3")
                                      .arg(words[random.bounded(words.size())], words[random.bounded(words.size())])
                                      .arg(file),
                                  random.bounded(1, 4) * 1000000LL, random.bounded(2) ? 320 : 128,
                                  random.bounded(2) ? "vbr" : "cbr");
                replies.append({ReplyUser{QStringLiteral("u%1").arg(random.bounded(3)), true, 0, 0}, files});
            }
            const unsigned int before = OpenTab(QStringLiteral("a"));
            const unsigned int after = OpenTab(QStringLiteral("b"));
            Page(1)->filterEdit()->setText(filter);
            for (const auto& reply : replies)
            {
                SendSearchReply(before, reply.first, reply.second);
                SendSearchReply(after, reply.first, reply.second);
            }
            Page(0)->filterEdit()->setText(filter);
            QCOMPARE(Rows(Page(0)), Rows(Page(1)));
            // A user or folder row with nothing shown under it is hidden.
            QTreeWidget* tree = Page(0)->searchResults();
            for (QTreeWidgetItemIterator it(tree); *it; ++it)
            {
                bool anyShown = false;
                for (int child = 0; child < (*it)->childCount(); ++child)
                    anyShown = anyShown || !(*it)->child(child)->isHidden();
                QVERIFY2((*it)->childCount() == 0 || anyShown || (*it)->isHidden(), qPrintable(filter));
            }
            cleanup();
        }
    }

    void filterEdges_data()
    {
        QTest::addColumn<QString>("filter");
        // Rows u, b/Rock, one.mp3, two.mp3, Live, three.mp3: "~" hidden, "." shown.
        QTest::addColumn<QString>("hidden");
        QTest::newRow("word in the folder only") << "rock"
                                                 << "....~~";
        QTest::newRow("files in folder") << "mfif:2"
                                         << "....~.";
        QTest::newRow("megabytes") << "minfilesize:2"
                                   << "..~.~~";
        QTest::newRow("nothing left") << "isvbr iscbr"
                                      << "~~~~~~";
    }

    void filterEdges()
    {
        QFETCH(QString, filter);
        QFETCH(QString, hidden);
        const unsigned int token = OpenTab(QStringLiteral("edges"));
        SendSearchReply(
            token, {"u", true, 0, 0},
            {File("Rock\\b\\one.mp3", 1000000), File("Rock\\b\\two.mp3", 20000000), File("Live\\three.mp3", 1000000)});
        Page(0)->filterEdit()->setText(filter);
        QString marks;
        for (const QString& row : Rows(Page(0)))
            marks += row.trimmed().startsWith('~') ? '~' : '.';
        QCOMPARE(marks, hidden);
        Page(0)->filterEdit()->clear();
        QCOMPARE(Rows(Page(0)).filter(QStringLiteral("~")), QStringList());
    }

    void savedAndDefaultFilters()
    {
        OpenTab(QStringLiteral("a"));
        OpenTab(QStringLiteral("b"));
        Ui::SearchResultsForm* a = Page(0)->Form();
        Ui::SearchResultsForm* b = Page(1)->Form();
        a->filterEdit->setText(QStringLiteral("  Rock \t  LIVE "));
        a->saveFilterButton->click();
        QCOMPARE(d->GetType("saved_filter")->GetItems().First().AsString(), QStringLiteral("rock live"));
        QCOMPARE(b->savedFiltersBox->itemText(1), QStringLiteral("rock live"));
        QCOMPARE(a->saveFilterButton->text(), QStringLiteral("Remove Filter"));

        // Only the page whose own filter is that key says "Remove Filter".
        QCOMPARE(b->saveFilterButton->text(), QStringLiteral("Save Filter"));
        b->savedFiltersBox->setCurrentIndex(1);
        QCOMPARE(b->filterEdit->text(), QStringLiteral("rock live"));
        QCOMPARE(b->savedFiltersBox->currentIndex(), 0);
        QCOMPARE(b->saveFilterButton->text(), QStringLiteral("Remove Filter"));
        b->saveFilterButton->click();
        QCOMPARE(a->savedFiltersBox->count(), 1);
        QCOMPARE(a->saveFilterButton->text(), QStringLiteral("Save Filter"));
        a->filterEdit->setText(QStringLiteral("   "));
        a->saveFilterButton->click();
        QVERIFY(d->GetType("saved_filter")->GetItems().empty());

        // The default filter is the raw text; an empty filter cannot be the default.
        a->filterEdit->clear();
        a->defaultFilterBox->click();
        QVERIFY(!a->defaultFilterBox->isChecked());
        QVERIFY(!HasSetting(QStringLiteral("default_search_filter")));
        a->filterEdit->setText(QStringLiteral(" Rock"));
        a->defaultFilterBox->click();
        QCOMPARE(GetSetting(QStringLiteral("default_search_filter")), QStringLiteral(" Rock"));
        b->filterEdit->setText(QStringLiteral(" rock"));
        QVERIFY(!b->defaultFilterBox->isChecked());
        OpenTab(QStringLiteral("c"));
        QCOMPARE(Page(2)->filterEdit()->text(), QStringLiteral(" Rock"));
        QVERIFY(Page(2)->Form()->defaultFilterBox->isChecked());
        a->defaultFilterBox->click();
        QVERIFY(!HasSetting(QStringLiteral("default_search_filter")));
    }

    void filterHelpIsOneDialog()
    {
        OpenTab(QStringLiteral("a"));
        OpenTab(QStringLiteral("b"));
        Page(0)->Form()->pushButton->click();
        QPointer<QWidget> help = filterHelpDialog;
        Page(1)->Form()->pushButton->click();
        QVERIFY(help && help == filterHelpDialog && help->parent() == Page(0));
        filterHelpDialog->accept();
        QTRY_VERIFY(!help);
        Page(1)->Form()->pushButton->click();
        QVERIFY(filterHelpDialog && filterHelpDialog->parent() == Page(1));
    }

    void relatedSearches()
    {
        m_run->server.SetRelatedSearches(QStringLiteral("abc"), {{"low", 1}, {"high", 90}, {"mid", 12}});
        OpenTab(QStringLiteral("none"));
        OpenTab(QStringLiteral("abc"));
        QVERIFY(m_run->server.WaitForFrames(SM_RELATED_SEARCHES, 2));
        QTreeWidget* list = Page(1)->CorrelationsWidget();
        QTRY_COMPARE(list->topLevelItemCount(), 3);
        QVERIFY(list->isVisible());
        QCOMPARE((QStringList{list->topLevelItem(0)->text(0), list->topLevelItem(1)->text(0),
                              list->topLevelItem(2)->text(0)}),
                 (QStringList{"high", "mid", "low"}));
        QVERIFY(Page(0)->CorrelationsWidget()->isHidden());

        // A later answer for the text reaches every page of it, and only those.
        OpenTab(QStringLiteral("abc"));
        m_run->server.SetRelatedSearches(QStringLiteral("abc"), {{"new", 5}});
        gp_server->GetSearchCorrelations(QStringLiteral("abc"));
        QTRY_COMPARE(Page(1)->CorrelationsWidget()->topLevelItemCount(), 1);
        QCOMPARE(Page(2)->CorrelationsWidget()->topLevelItem(0)->text(0), QStringLiteral("new"));
        QVERIFY(Page(0)->CorrelationsWidget()->isHidden());

        // A click fills the search edit; a double-click searches it in a new tab.
        m_run->server.ClearFrames();
        QTreeWidgetItem* related = Page(2)->CorrelationsWidget()->topLevelItem(0);
        emit Page(2)->CorrelationsWidget()->itemClicked(related, 0);
        QCOMPARE(Form()->searchEdit->text(), QStringLiteral("new"));
        QVERIFY(m_run->server.Frames(QStringLiteral("tester")).isEmpty());
        emit Page(2)->CorrelationsWidget()->itemDoubleClicked(related, 0);
        QCOMPARE(Tabs()->tabText(3), QStringLiteral("new"));
        QVERIFY(Form()->searchEdit->text().isEmpty());
        QVERIFY(m_run->server.WaitForFrames(SM_FILE_SEARCH));
    }

    // An enabled wish-list search's first reply opens its tab in the background and posts one
    // notice; its later runs join the tab; a wish-list tab never shows related searches.
    void wishListReplies()
    {
        ItemPtr wish = d->GetType("wish_list_item")->GetItem(Value("wish"));
        wish += d->GetType("wish_list_item_enabled")->GetGlobalNullItem();
        ItemPtr correlation = d->GetType("search_request_text")->GetItem(Value("wish")).NewItem("search_correlation");
        correlation += d->GetType("correlation_text")->GetItem(Value("related"));
        correlation += d->GetType("correlation_rank")->GetItem(Value(3));
        QTabWidget* wishTabs = Form()->wishListTabControl;
        const auto notices = [] {
            int count = 0;
            for (const QAction* action : eventToolBar->actions())
                count += action->text() == QLatin1String("wish");
            return count;
        };
        const unsigned int first = gp_server->FileSearch(QStringLiteral("wish"), true);
        SendSearchReply(first, {"bob", true, 0, 0}, {File("d\\wish.mp3")});
        QCOMPARE(wishTabs->count(), 1);
        QCOMPARE(Rows(Page(0, wishTabs)), (QStringList{"bob|Y", " d", "  wish.mp3|1,000"}));
        QCOMPARE(notices(), 1);
        QVERIFY(Page(0, wishTabs)->CorrelationsWidget()->isHidden());
        const unsigned int second = gp_server->FileSearch(QStringLiteral("wish"), true);
        SendSearchReply(second, {"amy", true, 0, 0}, {File("d\\wish.mp3")});
        QCOMPARE(wishTabs->count(), 1);
        QCOMPARE(Rows(Page(0, wishTabs)).size(), 6);
        QCOMPARE(notices(), 1);

        // Disabled: a run without a tab is dropped.
        emit wishTabs->tabCloseRequested(0);
        wish -= d->GetType("wish_list_item_enabled")->GetGlobalNullItem();
        SendSearchReply(gp_server->FileSearch(QStringLiteral("wish"), true), {"bob", true, 0, 0}, {File("d\\x")});
        QCOMPARE(wishTabs->count(), 0);
        wish.Remove();
    }

    // Closing the last tab while its tree has the focus leaves the tool bar usable.
    void closeFocusedLastTabThenSearch()
    {
        OpenTab(QStringLiteral("a"));
        QTRY_COMPARE(QApplication::focusWidget(), Page(0)->searchResults());
        emit Tabs()->tabCloseRequested(0);
        OpenTab(QStringLiteral("b"));
        QCOMPARE(Tabs()->count(), 1);
        QTRY_COMPARE(QApplication::focusWidget(), Page(0)->searchResults());
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        m_run->server.SetRelatedSearches(QStringLiteral("lackluster"),
                                         {{"lackluster container", 40}, {"lackluster live", 12}});
        OpenTab(QStringLiteral("container"));
        const unsigned int token = OpenTab(QStringLiteral("lackluster"));
        SendSearchReply(token, {"nightowl", true, 524288, 0},
                        {File("Music\\Lackluster\\Container\\01 Container.mp3", 7340032, 320, "cbr"),
                         File("Music\\Lackluster\\Container\\02 Zeal.mp3", 6291456, 320, "cbr"),
                         File("Music\\Lackluster\\Live\\Session.ogg", 48234496, 192, "vbr")});
        SendSearchReply(token, {"marble", false, 92160, 4},
                        {File("shared\\lackluster - container (demo).mp3", 3145728, 128, "cbr")});
        SendSearchReply(token, {"quietsea", false, 0, 11}, {File("docs\\Lackluster notes.txt", 5120)});
        Page(1)->Sort();
        Page(1)->Form()->filterEdit->setText(QStringLiteral("-notes"));
        QTRY_VERIFY(Page(1)->CorrelationsWidget()->isVisible());
        m_run->window->resize(1100, 560);
        SAVE_SCREENSHOT(m_run->window.get(), "search_window");
        SAVE_SCREENSHOT(FilterHelpDialog::ShowHelp(Page(1)), "filter_help_dialog");
    }

    // The whole road: a real client shares a file, answers the search, and its row appears.
    void peerAnswers()
    {
        QTemporaryDir shared;
        QDir(shared.path()).mkpath(QStringLiteral("Album"));
        QFile song(shared.filePath(QStringLiteral("Album/Lackluster Song.txt")));
        QVERIFY(song.open(QIODevice::WriteOnly) && song.write("0123456789") == 10);
        song.close();
        HarnessProcess bob;
        QVERIFY(bob.Start({QStringLiteral("full")}));
        QVERIFY(bob.LogIn(QStringLiteral("bob"), m_run->server.Port(), FreePortPair()));
        bob.Send({QStringLiteral("share"), shared.path()});
        QVERIFY(bob.Take("shared"));
        OpenTab(QStringLiteral("lackluster"));
        QTRY_VERIFY_WITH_TIMEOUT(Page(0)->searchResults()->topLevelItemCount() == 1, 10000);
        const QStringList rows = Rows(Page(0));
        QCOMPARE(rows.value(0), QStringLiteral("bob|Y"));
        QVERIFY2(rows.value(1).contains(QStringLiteral("Album")), qPrintable(rows.join('\n')));
        QCOMPARE(rows.value(2), QStringLiteral("  Lackluster Song.txt|10"));
    }
};

QTEST_MAIN(TestSearchWindow)
#include "test_search_window.moc"
