#include "DiagnosticsForm.h"
#include "DownloadPaths.h"
#include "FocusHelpers.h"
#include "HarnessProcess.h"
#include "RawPeer.h"
#include "ReceivedSearchesForm.h"
#include "Screenshot.h"
#include "SearchForm.h"
#include "SearchReplies.h"
#include "SearchResultMenuOptions.h"
#include "SearchResultsForm.h"
#include "ShareForm.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "TransferQueueManager.h"
#include "UserMenuOptions.h"
#include "WindowFixture.h"
#include "Wire.h"
#include "WishListSearcher.h"
#include "ui_ReceivedSearchesForm.h"
#include "ui_SearchForm.h"

#include <QCheckBox>
#include <QMenu>
#include <QtTest>

// What the user does with results and wish-list searches on a whole client logged in to the
// loopback server: downloads through the real transfer engine, the result menu, the tool bar,
// the wish list and its searcher, and the searches received from others.
class TestSearchActions : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;
    SearchResultsForm* m_page = nullptr;
    unsigned int m_token = 0;

    static Ui::SearchForm* Form() { return searchForm->Form(); }
    static QTreeWidget* List() { return Form()->wishList; }
    static QTabWidget* WishTabs() { return Form()->wishListTabControl; }
    static ReplyFile File(const QString& i_path) { return ReplyFile{i_path, 100, 0, QString(), -1}; }

    // The row whose cells read so from the top: "u", "u/b" (a folder as shown), "u/b/x.mp3".
    QTreeWidgetItem* Row(const QString& i_path) const
    {
        for (QTreeWidgetItemIterator it(m_page->searchResults()); *it; ++it)
        {
            QStringList path;
            for (QTreeWidgetItem* row = *it; row; row = row->parent())
                path.prepend(row->text(row->parent() ? (row->parent()->parent() ? 4 : 3) : 0));
            if (path.join('/') == i_path)
                return *it;
        }
        return nullptr;
    }

    // The downloads in the order queued, as "user|remote folder|name".
    static QStringList Queued()
    {
        QStringList queued;
        for (const ItemPtr& entry : d->GetType("download_entry")->GetItems().SortNumericBy("download_order", true))
            queued << QStringList{entry["user"].AsString(), entry["remote_folder"].AsString(),
                                  entry["file_name"].AsString()}
                          .join('|');
        return queued;
    }

    int Marked() const
    {
        int marked = 0;
        for (QTreeWidgetItemIterator it(m_page->searchResults()); *it; ++it)
            marked += !(*it)->icon(4).isNull();
        return marked;
    }

    // Runs the context menu the view asks for at the point; its entries ("-" a separator), and
    // i_choose triggered.
    static QStringList RunMenu(QAbstractItemView* ip_view, const QPoint& i_point, const QString& i_choose = {})
    {
        QStringList entries;
        QTimer opened; // gone with this call when no menu opened
        opened.setSingleShot(true);
        opened.start(0);
        connect(&opened, &QTimer::timeout, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget()))
            {
                for (QAction* action : menu->actions())
                {
                    entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
                    if (action->text() == i_choose)
                        action->trigger();
                }
                menu->close();
            }
        });
        emit ip_view->customContextMenuRequested(i_point);
        return entries;
    }
    QStringList RowMenu(const QString& i_row, const QString& i_choose = {})
    {
        return RunMenu(m_page->searchResults(), m_page->searchResults()->visualItemRect(Row(i_row)).center(), i_choose);
    }

    // Presses the tool bar button starting with the text, as shown while the widget has the focus.
    static bool Press(QWidget* ip_widget, const QString& i_text)
    {
        // A closed menu leaves no window active on this platform.
        QApplication::setActiveWindow(ip_widget->window());
        FocusWidgetAndParents(ip_widget);
        ip_widget->setFocus();
        for (QAction* action : actionBar->actions())
            if (action->isVisible() && action->text().startsWith(i_text))
                return action->trigger(), true;
        return false;
    }

    void Select(const QStringList& i_rows)
    {
        m_page->searchResults()->clearSelection();
        for (const QString& row : i_rows)
            Row(row)->setSelected(true);
    }

    // The wish list's rows as shown, "text*" when checked; then " / " and its items, "text*" when
    // enabled, where these differ.
    static QString Wishes()
    {
        QStringList rows;
        for (int index = 0; index < List()->topLevelItemCount(); ++index)
            rows << List()->topLevelItem(index)->text(1) + (Box(index)->isChecked() ? "*" : "");
        QStringList items;
        for (const ItemPtr& item : d->GetType("wish_list_item")->GetItems())
            items << item.AsString() + (item.IsConnected("wish_list_item_enabled") ? "*" : "");
        items.sort();
        return rows.join(' ') + (rows == items ? QString() : " / " + items.join(' '));
    }
    static QCheckBox* Box(int i_row)
    {
        return qobject_cast<QCheckBox*>(List()->itemWidget(List()->topLevelItem(i_row), 0));
    }
    static QTreeWidgetItem* WishRow(const QString& i_text) { return List()->findItems(i_text, Qt::MatchExactly, 1)[0]; }
    static ItemPtr Wish(const QString& i_text, bool i_enabled, const QString& i_filter = {})
    {
        ItemPtr item = d->GetType("wish_list_item")->GetItem(Value(i_text));
        if (i_enabled)
            item += d->GetType("wish_list_item_enabled")->GetGlobalNullItem();
        if (!i_filter.isEmpty())
            item += d->GetType("wish_list_item_filter_text")->GetItem(Value(i_filter));
        searchForm->OnWishListItemAdded(item);
        return item;
    }
    static unsigned int WishRun(const QString& i_text, const QString& i_file)
    {
        const unsigned int token = gp_server->FileSearch(i_text, true);
        SendSearchReply(token, {"bob", true, 0, 0}, {File(i_file)});
        return token;
    }

    QStringList SentWishes() const
    {
        QStringList texts;
        for (const TestServer::Frame& frame : m_run->server.FramesWithCode(SM_WISHLIST_SEARCH, "tester"))
            texts << WireReader(frame.m_body.mid(4)).Str();
        return texts;
    }
    bool WaitPeriod(quint32 i_seconds)
    {
        return m_run->server.SendFrame("tester", SM_WISHLIST_INTERVAL, WireWriter().U32(i_seconds).Body());
    }
    static QString LastLog() { return diagnosticsForm->AreaLines("Wish List").last().section("] ", 1); }

private slots:
    void initTestCase()
    {
        m_run = std::make_unique<WindowRun>();
        QVERIFY(m_run->Start());
        d->GetType("excluded_download_extension")->GetItem(Value(".ini"));
    }

    void init()
    {
        Form()->searchEdit->setText(QStringLiteral("actions"));
        QTest::keyClick(Form()->searchEdit, Qt::Key_Return);
        m_page = qobject_cast<SearchResultsForm*>(Form()->searchTabControl->currentWidget());
        m_token = d->GetType("search_results_widget")->HasItem(Value(m_page))["search_request"].AsUInt();
        SendSearchReply(m_token, {"u", true, 0, 0},
                        {File("b\\y.mp3"), File("b\\X.mp3"), File("b\\desktop.ini"), File("a\\z.mp3")});
        SendSearchReply(m_token, {"r", true, 0, 0}, {File("top.mp3")});
    }

    void cleanup()
    {
        for (const ItemPtr& entry : d->GetType("download_entry")->GetItems())
            transferQueueManager->RemoveDownload(entry);
        d->GetType("wish_list_item")->GetItems().Remove();
        for (QTabWidget* tabs : {static_cast<QTabWidget*>(Form()->searchTabControl), WishTabs()})
            while (tabs->count() > 0)
                emit tabs->tabCloseRequested(0);
        QTest::qWait(0);
        QCOMPARE(List()->topLevelItemCount(), 0);
        m_run->server.ClearFrames();
    }

    void cleanupTestCase() { m_run.reset(); }

    void doubleClick_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QStringList>("queued");
        QTest::newRow("user: folders, then names; no .ini")
            << "u" << QStringList{"u|a|z.mp3", "u|b|X.mp3", "u|b|y.mp3"};
        QTest::newRow("folder") << "u/b" << QStringList{"u|b|X.mp3", "u|b|y.mp3"};
        QTest::newRow("the one .ini file asked for") << "u/b/desktop.ini" << QStringList{"u|b|desktop.ini"};
        QTest::newRow("folder of files at the root") << "r/" << QStringList{"r||top.mp3"};
    }

    void doubleClick()
    {
        QFETCH(QString, row);
        QFETCH(QStringList, queued);
        for (int twice = 0; twice < 2; ++twice)
            emit m_page->searchResults()->itemDoubleClicked(Row(row), 0);
        QCOMPARE(Queued(), queued);
        QCOMPARE(Marked(), queued.size());
        for (const ItemPtr& entry : d->GetType("download_entry")->GetItems())
            QCOMPARE(entry["search_request_text"].AsString(), QStringLiteral("actions"));
    }

    void menus()
    {
        const auto userEntries = [](const char* i_user) {
            QMenu menu;
            UserMenuOptions options(&menu, i_user);
            QStringList entries{"-"};
            for (QAction* action : menu.actions())
                entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
            return entries;
        };
        QCOMPARE(RowMenu("u/b/y.mp3"),
                 QStringList({"Download File(s)", "Download Folder(s)", "Browse Folder"}) + userEntries("u"));
        QCOMPARE(RowMenu("r/"), QStringList({"Download Folder(s)", "Browse Folder"}) + userEntries("r"));
        QCOMPARE(RowMenu("u"), userEntries("u").mid(1));
        QCOMPARE(RunMenu(m_page->searchResults(), QPoint(5, 1000)), QStringList());

        // Download File(s) goes in selection order and stops at the first row of another kind.
        Select({"u/b/y.mp3", "u/a/z.mp3", "r", "u/b/X.mp3"});
        RowMenu("u/b/y.mp3", "Download File(s)");
        QCOMPARE(Queued(), (QStringList{"u|b|y.mp3", "u|a|z.mp3"}));

        // Two users with one folder path: the folder row's menu belongs to its own user.
        SendSearchReply(m_token, {"w", true, 0, 0}, {File("b\\other.mp3")});
        QMenu menu;
        SearchResultMenuOptions options(&menu, Row("w/b"));
        QCOMPARE((QStringList{options.User(), options.Folder(), options.SearchText()}),
                 (QStringList{"w", "b", "actions"}));
        RowMenu("w/b", "Browse Folder");
        QCOMPARE(sharesForm->Tabs()->tabText(sharesForm->Tabs()->currentIndex()), QStringLiteral("w"));
        // The tab goes to the row's folder once w's list arrives.
        FileInfoMap list;
        for (const char* folder : {"a", "b", "c"})
            list[folder].insert(FileInfo("f.mp3", 10));
        AttributeTranslationTable table;
        sharesForm->OnUserShare("w", list, table);
        auto* browse = qobject_cast<ShareForm*>(sharesForm->Tabs()->currentWidget());
        QVERIFY(browse && browse->FolderTree()->currentItem());
        QCOMPARE(browse->FolderTree()->currentItem()->text(0), QStringLiteral("b"));
        emit sharesForm->Tabs()->tabCloseRequested(sharesForm->Tabs()->currentIndex());
    }

    void downloadFolders_data()
    {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<QStringList>("queued");
        QTest::newRow("by name, capitals first, once each, hidden y too")
            << QStringList{"u/b/X.mp3", "u/a", "u/b"} << QStringList{"u|b|X.mp3", "u|b|y.mp3", "u|a|z.mp3"};
        QTest::newRow("a user row among them") << QStringList{"u/a", "u"} << QStringList{};
    }

    void downloadFolders()
    {
        QFETCH(QStringList, selected);
        QFETCH(QStringList, queued);
        m_page->filterEdit()->setText(QStringLiteral("-y.mp3"));
        Select(selected);
        RowMenu(selected.first(), "Download Folder(s)");
        QCOMPARE(Queued(), queued);
        QCOMPARE(Marked(), queued.size());
    }

    void toolBar()
    {
        QTreeWidget* tree = m_page->searchResults();
        QVERIFY(Press(tree, "Expand Folders"));
        QVERIFY(!Row("u/b")->isExpanded() && ShownButtons().contains("Expand Folders [off]"));
        // Rows arriving later follow the tab's toggle.
        SendSearchReply(m_token, {"u", true, 0, 0}, {File("c\\new.mp3")});
        QVERIFY(!Row("u/c")->isExpanded());
        QVERIFY(Press(tree, "Expand Users"));
        QVERIFY(!Row("u")->isExpanded() && ShownButtons().contains("Expand Users [off]"));
        QVERIFY(Press(tree, "Expand Folders"));
        QVERIFY(Row("u/c")->isExpanded());
        QVERIFY(Press(tree, "Order by Fastest"));
        QCOMPARE(tree->sortColumn(), 2);
        QVERIFY(ShownButtons().contains("Order by Fastest [on]") && ShownButtons().contains("Order by Available"));
        QVERIFY(Press(tree, "Order by Available"));
        QCOMPARE(tree->sortColumn(), 1);

        // Another tab keeps its own texts; "Add to Wishlist" adds once, enabled.
        Form()->searchEdit->setText(QStringLiteral("beta"));
        QTest::keyClick(Form()->searchEdit, Qt::Key_Return);
        tree = qobject_cast<SearchResultsForm*>(Form()->searchTabControl->currentWidget())->searchResults();
        QVERIFY(Press(tree, "Add to Wishlist") && Press(tree, "Add to Wishlist"));
        QVERIFY(ShownButtons().join('|').contains(
            "Order by Available [on]|Order by Fastest|Expand Folders [on]|Expand Users [on]|Add to Wishlist"));
        QCOMPARE(Wishes(), QStringLiteral("beta*"));

        // On the wish's own tab the action removes the wish; the tab stays.
        WishRun("beta", "d\\b.mp3");
        QVERIFY(
            Press(qobject_cast<SearchResultsForm*>(WishTabs()->widget(0))->searchResults(), "Remove from Wish List"));
        QCOMPARE(Wishes(), QString());
        QCOMPARE(WishTabs()->count(), 1);
        QVERIFY(ShownButtons().contains(QStringLiteral("Remove from Wish List")));
    }

    void wishEdits_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("wishes");
        QTest::newRow("to another row's text") << "alpha>beta"
                                               << "beta* gamma";
        QTest::newRow("to blanks") << "alpha> \t"
                                   << "beta* gamma";
        QTest::newRow("keeps its box") << "beta>zeta"
                                       << "alpha gamma zeta*";
        QTest::newRow("trimmed") << "gamma> delta "
                                 << "alpha beta* delta";
        QTest::newRow("case") << "alpha>Beta"
                              << "Beta beta* gamma";
    }

    void wishEdits()
    {
        QFETCH(QString, edit);
        QFETCH(QString, wishes);
        Wish("alpha", false, "f alpha");
        Wish("beta", true, "f beta");
        Wish("gamma", false, "f gamma");
        WishRow(edit.section('>', 0, 0))->setText(1, edit.section('>', 1));
        QTest::qWait(0);
        QCOMPARE(Wishes(), wishes);
        // The rows not edited keep their filter texts.
        for (const char* other : {"alpha", "beta", "gamma"})
            if (edit.section('>', 0, 0) != QLatin1String(other))
                if (const ItemPtr item = d->GetType("wish_list_item")->HasItem(Value(other)))
                    QCOMPARE(item["wish_list_item_filter_text"].AsString(), "f " + QLatin1String(other));

        // An edit of another row keeps every other item with its filter text.
        for (ItemPtr item : d->GetType("wish_list_item")->GetItems())
            item += d->GetType("wish_list_item_filter_text")->GetItem(Value("f " + item.AsString()));
        List()->topLevelItem(1)->setText(1, QStringLiteral("omega"));
        QTest::qWait(0);
        for (const ItemPtr& item : d->GetType("wish_list_item")->GetItems())
            if (item.AsString() != QLatin1String("omega"))
                QCOMPARE(item["wish_list_item_filter_text"].AsString(), "f " + item.AsString());
        QVERIFY(!Wishes().contains('/'));

        // Two edits to blanks before the event loop turns delete one row once.
        WishRow("omega")->setText(1, QStringLiteral(" "));
        List()->topLevelItem(0)->setText(1, QStringLiteral("  "));
        QTest::qWait(0);
        QCOMPARE(d->GetType("wish_list_node")->GetItemCount(), size_t(List()->topLevelItemCount()));
        QCOMPARE(d->GetType("wish_list_node_checkbox")->GetItemCount(), size_t(List()->topLevelItemCount()));
    }

    void wishBoxesAndMenu()
    {
        for (const char* text : {"a", "b", "c"})
            Wish(text, text[0] == 'b');
        QVERIFY(Press(List(), "Enable All Wish List Searches"));
        QCOMPARE(Wishes(), QStringLiteral("a* b* c*"));
        Box(1)->setCheckState(Qt::PartiallyChecked);
        QCOMPARE(Wishes(), QStringLiteral("a* b* c*"));
        QVERIFY(Press(List(), "Disable All Wish List Searches"));
        QCOMPARE(Wishes(), QStringLiteral("a b c"));
        Box(2)->click();
        List()->sortByColumn(0, Qt::DescendingOrder); // by the checked rows' hidden "Y"
        QCOMPARE(List()->topLevelItem(0)->text(1), QStringLiteral("c"));
        List()->sortByColumn(1, Qt::AscendingOrder);

        QCOMPARE(RunMenu(List(), QPoint(5, 1000)), QStringList());
        WishRow("a")->setSelected(true);
        WishRow("c")->setSelected(true);
        RunMenu(List(), List()->visualItemRect(WishRow("a")).center(), "Remove Wish List Search");
        QCOMPARE(Wishes(), QStringLiteral("b"));
    }

    // A closed tab's wish opens a new tab and a new notice at its next results; the notice waits
    // for a row that the stored filter shows.
    void wishTabs()
    {
        Form()->tabWidget->setCurrentIndex(0); // a tab shown at once needs no notice
        ItemPtr item = Wish("wish", true, "-demo");
        const auto notices = [] { return EventTexts().count(QStringLiteral("wish")); };
        WishRun("wish", "d\\demo.mp3");
        auto* page = qobject_cast<SearchResultsForm*>(WishTabs()->widget(0));
        QCOMPARE(page->filterEdit()->text(), QStringLiteral("-demo"));
        QCOMPARE(notices(), 0);
        WishRun("wish", "d\\song.mp3");
        QCOMPARE(notices(), 1);
        page->filterEdit()->setText(QStringLiteral("song"));
        emit WishTabs()->tabCloseRequested(0);
        QCOMPARE(notices(), 0);
        WishRun("wish", "d\\song.mp3");
        QCOMPARE(WishTabs()->count(), 1);
        QCOMPARE(qobject_cast<SearchResultsForm*>(WishTabs()->widget(0))->filterEdit()->text(), QStringLiteral("song"));
        QCOMPARE(notices(), 1);

        // Saved with the item across a restart.
        Wish("off", false);
        m_run->window.reset();
        m_run->window = std::make_unique<MainWindow>();
        m_run->window->show();
        m_run->window->Init();
        QCOMPARE(Wishes(), QStringLiteral("off wish*"));
        QCOMPARE(d->GetType("wish_list_item")->HasItem(Value("wish"))["wish_list_item_filter_text"].AsString(),
                 QStringLiteral("song"));
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
    }

    void searcher()
    {
        for (const char* text : {"b", "C", "a", "B"})
            Wish(text, text[0] != 'B');
        QStringList indices;
        for (int tick = 0; tick < 4; ++tick)
        {
            wishListSearcher->OnSearchTimerTimeout();
            indices << GetVolatileSetting("wish_list_search_index");
        }
        QVERIFY(m_run->server.WaitForFrames(SM_WISHLIST_SEARCH, 4, "tester"));
        QCOMPARE(SentWishes(), (QStringList{"C", "a", "b", "C"}));
        QCOMPARE(indices, (QStringList{"1", "2", "0", "1"}));
        QCOMPARE(LastLog(), QStringLiteral("Sent wish list search: C"));

        // Nothing enabled: nothing sent, the place kept. Past the end: place modulo the length.
        QVERIFY(Press(List(), "Disable All"));
        wishListSearcher->OnSearchTimerTimeout();
        QCOMPARE(GetVolatileSetting("wish_list_search_index"), QStringLiteral("1"));
        d->GetType("wish_list_item")->HasItem(Value("B")).Remove();
        QVERIFY(Press(List(), "Enable All"));
        SetVolatileSetting("wish_list_search_index", "4");
        wishListSearcher->OnSearchTimerTimeout();
        QVERIFY(m_run->server.WaitForFrames(SM_WISHLIST_SEARCH, 5, "tester"));
        QCOMPARE(SentWishes().last(), QStringLiteral("a"));
        QCOMPARE(GetVolatileSetting("wish_list_search_index"), QStringLiteral("0"));
    }

    void intervals_data()
    {
        QTest::addColumn<uint>("seconds");
        QTest::addColumn<int>("interval");
        QTest::newRow("none: stopped") << 0u << 0;
        QTest::newRow("a minute") << 60u << 60000;
        QTest::newRow("beyond a timer") << 2147484u << 2147483647;
        QTest::newRow("beyond 32 bits of ms") << 4294968u << 2147483647;
    }

    // Each interval message restarts the timer on its own interval.
    void intervals()
    {
        QFETCH(uint, seconds);
        QFETCH(int, interval);
        QVERIFY(WaitPeriod(600));
        QTRY_COMPARE(wishListSearcher->Timer().interval(), 600000);
        QVERIFY(WaitPeriod(seconds));
        QTRY_COMPARE(GetVolatileSetting("wish_list_wait"), QString::number(seconds));
        QCOMPARE(wishListSearcher->Timer().isActive(), interval > 0);
        if (interval > 0)
        {
            QCOMPARE(wishListSearcher->Timer().interval(), interval);
            QCOMPARE(LastLog(), QStringLiteral("Wish list wait period set to %1 milliseconds").arg(interval));
        }
        else
            QCOMPARE(LastLog(), QStringLiteral("Wish list wait period of 0 seconds; no wish list searches are sent"));
        Wish("a", true);
        QTest::qWait(50);
        QCOMPARE(SentWishes(), QStringList());
    }

    void receivedSearches()
    {
        QTreeWidget* list = receivedSearchesForm->Form()->searchList;
        for (int search = 0; search <= ReceivedSearchesForm::MaxRows; ++search)
            emit sharedFoldersManager->SearchProcessed(QString::number(search), search % 2 == 0);
        QCOMPARE(list->topLevelItemCount(), ReceivedSearchesForm::MaxRows);
        QCOMPARE((QStringList{list->topLevelItem(0)->text(0), list->topLevelItem(0)->text(1),
                              list->topLevelItem(1)->text(1), list->topLevelItem(499)->text(0)}),
                 (QStringList{"500", "Match", "", "1"}));
        QCOMPARE(list->topLevelItem(0)->foreground(1).color(), QColor(0x00, 0x55, 0x00));
        QVERIFY(Press(list, "Pause") && ShownButtons().contains("Resume"));
        emit sharedFoldersManager->SearchProcessed(QStringLiteral("while paused"), true);
        QVERIFY(Press(list, "Resume") && ShownButtons().contains("Pause"));
        emit sharedFoldersManager->SearchProcessed(QStringLiteral("500"), false);
        QCOMPARE((QStringList{list->topLevelItem(0)->text(0), list->topLevelItem(1)->text(0)}),
                 (QStringList{"500", "500"}));
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        for (const char* text : {"lackluster container", "boards of canada", "Autechre live 1996"})
            Wish(text, true);
        Wish("rare demo tapes", false);
        SendSearchReply(gp_server->FileSearch(QStringLiteral("lackluster container"), true),
                        {"nightowl", true, 524288, 0},
                        {{"Music\\Lackluster\\Container\\01 Container.mp3", 7340032, 320, "cbr", 245},
                         {"Music\\Lackluster\\Container\\02 Zeal.mp3", 6291456, 320, "cbr", 201}});
        m_run->window->resize(1000, 480);
        FocusWidgetAndParents(List());
        List()->setFocus();
        List()->setCurrentItem(List()->topLevelItem(1));
        SAVE_SCREENSHOT(m_run->window.get(), "wish_list");

        for (const char* text : {"aphex twin", "ambient mix 2004", "lackluster", "field recordings", "mp3 320"})
            emit sharedFoldersManager->SearchProcessed(text, text[0] == 'l' || text[0] == 'a');
        FocusWidgetAndParents(receivedSearchesForm);
        SAVE_SCREENSHOT(m_run->window.get(), "received_searches");
    }

    // The whole road: the server sets the interval, the searcher sends the wish, another client
    // answers, the wish's tab opens, and a file chosen from the result menu arrives.
    void wishFoundAndDownloaded()
    {
        QTemporaryDir shared;
        QFile song(shared.filePath(QStringLiteral("Wanted Song.txt")));
        QVERIFY(song.open(QIODevice::WriteOnly) && song.write("wanted bytes") == 12);
        song.close();
        HarnessProcess bob;
        QVERIFY(bob.Start({QStringLiteral("full")}));
        QVERIFY(bob.LogIn(QStringLiteral("bob"), m_run->server.Port(), FreePortPair()));
        bob.Send({"share", shared.path()});
        QVERIFY(bob.Take("shared"));

        Wish("wanted", true);
        QVERIFY(WaitPeriod(1));
        QVERIFY(m_run->server.WaitForFrames(SM_WISHLIST_SEARCH, 1, "tester", 5000));
        QCOMPARE(SentWishes().value(0), QStringLiteral("wanted"));
        QTRY_COMPARE_WITH_TIMEOUT(WishTabs()->count(), 1, 10000);
        QVERIFY(WaitPeriod(0));
        QTreeWidget* tree = qobject_cast<SearchResultsForm*>(WishTabs()->widget(0))->searchResults();
        QTreeWidgetItem* file = tree->findItems("Wanted Song.txt", Qt::MatchExactly | Qt::MatchRecursive, 4).value(0);
        QVERIFY(file);
        file->setSelected(true);
        RunMenu(tree, tree->visualItemRect(file).center(), "Download File(s)");

        const ItemPtr entry = d->GetType("download_entry")->GetItems().First();
        QCOMPARE(entry["search_request_text"].AsString(), QStringLiteral("wanted"));
        QTRY_COMPARE_WITH_TIMEOUT(entry["download_entry_status"].AsString(), QStringLiteral("complete"), 30000);
        QFile arrived(DownloadPaths::LocalPath(transferQueueManager->GetDownloadTargetPath(entry, true)));
        QVERIFY(arrived.open(QIODevice::ReadOnly));
        QCOMPARE(arrived.readAll(), QByteArray("wanted bytes"));
        arrived.remove();
    }
};

QTEST_MAIN(TestSearchActions)
#include "test_search_actions.moc"
