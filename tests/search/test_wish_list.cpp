#include "DiagnosticsForm.h"
#include "HarnessProcess.h"
#include "RawPeer.h"
#include "ReceivedSearchesForm.h"
#include "Screenshot.h"
#include "SearchForm.h"
#include "SearchKit.h"
#include "SearchReplies.h"
#include "SearchResultsForm.h"
#include "SharedFoldersManager.h"
#include "TransferQueueManager.h"
#include "WindowFixture.h"
#include "Wire.h"
#include "WishListSearcher.h"
#include "ui_ReceivedSearchesForm.h"
#include "ui_SearchForm.h"

#include <QCheckBox>
#include <QtTest>

// The wish list of a whole client logged in to the loopback server: its rows and edits, the
// searches its searcher sends on the server's interval, the tabs their results open, and the
// page of searches received from others.
class TestWishList : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;

    static Ui::SearchForm* Form() { return searchForm->Form(); }
    static QTreeWidget* List() { return Form()->wishList; }
    static QTabWidget* WishTabs() { return Form()->wishListTabControl; }

    // The rows, sorted as shown: "text" or "text*" when checked.
    static QStringList Rows()
    {
        QStringList rows;
        for (int index = 0; index < List()->topLevelItemCount(); ++index)
            rows << List()->topLevelItem(index)->text(1) + (Box(index)->isChecked() ? "*" : "");
        return rows;
    }
    // The items: "text" or "text*" when enabled, sorted.
    static QStringList Items()
    {
        QStringList items;
        for (const ItemPtr& item : d->GetType("wish_list_item")->GetItems())
            items << item.AsString() + (item.IsConnected("wish_list_item_enabled") ? "*" : "");
        items.sort();
        return items;
    }
    static QCheckBox* Box(int i_row)
    {
        return qobject_cast<QCheckBox*>(List()->itemWidget(List()->topLevelItem(i_row), 0));
    }
    static QTreeWidgetItem* RowOf(const QString& i_text)
    {
        const QList<QTreeWidgetItem*> rows = List()->findItems(i_text, Qt::MatchExactly, 1);
        return rows.value(0);
    }
    static ItemPtr Add(const QString& i_text, bool i_enabled)
    {
        ItemPtr item = d->GetType("wish_list_item")->GetItem(Value(i_text));
        if (i_enabled)
            item += d->GetType("wish_list_item_enabled")->GetGlobalNullItem();
        searchForm->OnWishListItemAdded(item);
        return item;
    }

    // The wish-list searches sent since the last clearing.
    QStringList Sent() const
    {
        QStringList texts;
        for (const TestServer::Frame& frame : m_run->server.FramesWithCode(SM_WISHLIST_SEARCH, "tester"))
        {
            WireReader reader(frame.m_body);
            reader.U32();
            texts << reader.Str();
        }
        return texts;
    }
    bool Wait(quint32 i_seconds)
    {
        return m_run->server.SendFrame("tester", SM_WISHLIST_INTERVAL, WireWriter().U32(i_seconds).Body());
    }

private slots:
    void initTestCase()
    {
        m_run = std::make_unique<WindowRun>();
        QVERIFY(m_run->Start());
    }

    void cleanup()
    {
        d->GetType("wish_list_item")->GetItems().Remove();
        while (WishTabs()->count() > 0)
            emit WishTabs()->tabCloseRequested(0);
        QTabWidget* tabs = Form()->searchTabControl;
        while (tabs->count() > 0)
            emit tabs->tabCloseRequested(0);
        for (const ItemPtr& entry : d->GetType("download_entry")->GetItems())
            transferQueueManager->RemoveDownload(entry);
        QTest::qWait(0);
        QCOMPARE(List()->topLevelItemCount(), 0);
        m_run->server.ClearFrames();
    }

    void cleanupTestCase() { m_run.reset(); }

    void addAndRemoveFromTabs()
    {
        Form()->searchEdit->setText(QStringLiteral("beta"));
        QTest::keyClick(Form()->searchEdit, Qt::Key_Return);
        auto* page = qobject_cast<SearchResultsForm*>(Form()->searchTabControl->currentWidget());
        for (int press = 0; press < 2; ++press)
            QVERIFY(PressToolBarButton(page->searchResults(), QStringLiteral("Add to Wishlist")));
        QCOMPARE(Rows(), QStringList{"beta*"});
        QCOMPARE(Items(), QStringList{"beta*"});

        // On the search's own tab the action removes it; the tab stays.
        SendSearchReply(gp_server->FileSearch(QStringLiteral("beta"), true), {"bob", true, 0, 0},
                        {{"d\\b.mp3", 1, 0, QString(), -1}});
        auto* wishPage = qobject_cast<SearchResultsForm*>(WishTabs()->widget(0));
        QVERIFY(wishPage);
        QVERIFY(PressToolBarButton(wishPage->searchResults(), QStringLiteral("Remove from Wish List")));
        QCOMPARE(Items(), QStringList());
        QCOMPARE(Rows(), QStringList());
        QCOMPARE(WishTabs()->count(), 1);
        QVERIFY(ShownButtons().contains(QStringLiteral("Remove from Wish List")));
    }

    void edits_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QStringList>("items");
        QTest::newRow("to another row's text: the edited row goes")
            << "alpha"
            << "beta" << QStringList{"beta*", "gamma"} << QStringList{"beta*", "gamma"};
        QTest::newRow("to blanks") << "alpha"
                                   << " \t" << QStringList{"beta*", "gamma"} << QStringList{"beta*", "gamma"};
        QTest::newRow("keeps its check box")
            << "beta"
            << "zeta" << QStringList{"alpha", "gamma", "zeta*"} << QStringList{"alpha", "gamma", "zeta*"};
        QTest::newRow("blanks around it are trimmed")
            << "gamma"
            << " delta " << QStringList{"alpha", "beta*", "delta"} << QStringList{"alpha", "beta*", "delta"};
        QTest::newRow("letter case makes another text")
            << "alpha"
            << "Beta" << QStringList{"Beta", "beta*", "gamma"} << QStringList{"Beta", "beta*", "gamma"};
    }

    void edits()
    {
        QFETCH(QString, row);
        QFETCH(QString, text);
        QFETCH(QStringList, rows);
        QFETCH(QStringList, items);
        Add(QStringLiteral("alpha"), false);
        ItemPtr beta = Add(QStringLiteral("beta"), true);
        Add(QStringLiteral("gamma"), false);
        beta += d->GetType("wish_list_item_filter_text")->GetItem(Value("-live"));
        RowOf(row)->setText(1, text);
        QTest::qWait(0);
        QCOMPARE(Rows(), rows);
        QCOMPARE(Items(), items);
        if (row != QLatin1String("beta"))
            QCOMPARE(beta["wish_list_item_filter_text"].AsString(), QStringLiteral("-live"));

        // A later edit of another row keeps every other item, with its filter text.
        QTreeWidgetItem* other = RowOf(rows.first().remove(QLatin1Char('*')));
        QStringList kept;
        for (ItemPtr item : d->GetType("wish_list_item")->GetItems())
        {
            item += d->GetType("wish_list_item_filter_text")->GetItem(Value("f " + item.AsString()));
            if (item.AsString() != other->text(1))
                kept << item.AsString();
        }
        other->setText(1, QStringLiteral("omega"));
        QTest::qWait(0);
        for (const QString& text : kept)
            QCOMPARE(d->GetType("wish_list_item")->HasItem(Value(text))["wish_list_item_filter_text"].AsString(),
                     "f " + text);
    }

    // Two edits before the event loop turns queue the row's deletion twice.
    void blankTwiceDeletesOnce()
    {
        Add(QStringLiteral("alpha"), true);
        Add(QStringLiteral("beta"), false);
        RowOf(QStringLiteral("alpha"))->setText(1, QStringLiteral(" "));
        List()->topLevelItem(0)->setText(1, QStringLiteral("  "));
        QTest::qWait(0);
        QCOMPARE(Rows(), QStringList{"beta"});
        QCOMPARE(d->GetType("wish_list_node")->GetItemCount(), size_t(1));
        QCOMPARE(d->GetType("wish_list_node_checkbox")->GetItemCount(), size_t(1));
    }

    void checkBoxes()
    {
        Add(QStringLiteral("a"), false);
        Add(QStringLiteral("b"), true);
        Add(QStringLiteral("c"), false);
        QVERIFY(PressToolBarButton(List(), QStringLiteral("Enable All Wish List Searches")));
        QCOMPARE(Items(), (QStringList{"a*", "b*", "c*"}));
        QCOMPARE(List()->topLevelItem(0)->text(0), QStringLiteral("Y"));
        Box(1)->setCheckState(Qt::PartiallyChecked);
        QCOMPARE(Items(), (QStringList{"a*", "b*", "c*"}));
        QVERIFY(PressToolBarButton(List(), QStringLiteral("Disable All Wish List Searches")));
        QCOMPARE(Items(), (QStringList{"a", "b", "c"}));
        QCOMPARE(Rows(), (QStringList{"a", "b", "c"}));
        Box(2)->click();
        QCOMPARE(Items(), (QStringList{"a", "b", "c*"}));
        // Sorting by the box column puts the checked row by its hidden "Y".
        List()->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(List()->topLevelItem(0)->text(1), QStringLiteral("c"));
        List()->sortByColumn(1, Qt::AscendingOrder);
    }

    void removeThroughTheMenu()
    {
        Add(QStringLiteral("a"), true);
        Add(QStringLiteral("b"), true);
        Add(QStringLiteral("c"), true);
        QCOMPARE(RunContextMenu(List(), QPoint(5, 1000)), QStringList());
        RowOf(QStringLiteral("a"))->setSelected(true);
        RowOf(QStringLiteral("c"))->setSelected(true);
        QCOMPARE(RunContextMenu(List(), List()->visualItemRect(RowOf(QStringLiteral("a"))).center(),
                                QStringLiteral("Remove Wish List Search")),
                 QStringList{"Remove Wish List Search"});
        QCOMPARE(Rows(), QStringList{"b*"});
        QCOMPARE(Items(), QStringList{"b*"});
    }

    // A closed tab's search opens a new tab and a new notice at its next results; the notice waits
    // for a row the tab's stored filter shows.
    void tabsAndNotices()
    {
        // A tab shown at once needs no notice.
        Form()->tabWidget->setCurrentIndex(0);
        ItemPtr item = Add(QStringLiteral("wish"), true);
        item += d->GetType("wish_list_item_filter_text")->GetItem(Value("-demo"));
        const auto notices = [] { return EventTexts().count(QStringLiteral("wish")); };
        const auto run = [](const char* i_file) {
            SendSearchReply(gp_server->FileSearch(QStringLiteral("wish"), true), {"bob", true, 0, 0},
                            {{QString::fromLatin1(i_file), 1, 0, QString(), -1}});
        };
        run("d\\demo.mp3");
        QCOMPARE(WishTabs()->count(), 1);
        auto* page = qobject_cast<SearchResultsForm*>(WishTabs()->widget(0));
        QCOMPARE(page->filterEdit()->text(), QStringLiteral("-demo"));
        QCOMPARE(notices(), 0);
        run("d\\song.mp3");
        QCOMPARE(notices(), 1);
        page->filterEdit()->setText(QStringLiteral("song"));
        QCOMPARE(item["wish_list_item_filter_text"].AsString(), QStringLiteral("song"));

        emit WishTabs()->tabCloseRequested(0);
        QCOMPARE(notices(), 0);
        run("d\\song.mp3");
        QCOMPARE(WishTabs()->count(), 1);
        QCOMPARE(qobject_cast<SearchResultsForm*>(WishTabs()->widget(0))->filterEdit()->text(), QStringLiteral("song"));
        QCOMPARE(notices(), 1);
    }

    void filterTextSurvivesARestart()
    {
        ItemPtr item = Add(QStringLiteral("kept"), true);
        item += d->GetType("wish_list_item_filter_text")->GetItem(Value("mbr:192"));
        Add(QStringLiteral("off"), false);
        m_run->window.reset();
        m_run->window = std::make_unique<MainWindow>();
        m_run->window->show();
        m_run->window->Init();
        QCOMPARE(Rows(), (QStringList{"kept*", "off"}));
        QCOMPARE(d->GetType("wish_list_item")->HasItem(Value("kept"))["wish_list_item_filter_text"].AsString(),
                 QStringLiteral("mbr:192"));
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
    }

    void searcherRoundRobin()
    {
        for (const char* text : {"b", "C", "a"})
            Add(QString::fromLatin1(text), true);
        Add(QStringLiteral("B"), false);
        QStringList indices;
        for (int tick = 0; tick < 4; ++tick)
        {
            wishListSearcher->OnSearchTimerTimeout();
            indices << GetVolatileSetting(QStringLiteral("wish_list_search_index"));
        }
        QVERIFY(m_run->server.WaitForFrames(SM_WISHLIST_SEARCH, 4, "tester"));
        QCOMPARE(Sent(), (QStringList{"C", "a", "b", "C"}));
        QCOMPARE(indices, (QStringList{"1", "2", "0", "1"}));
        QCOMPARE(diagnosticsForm->AreaLines(QStringLiteral("Wish List")).last().section("] ", 1),
                 QStringLiteral("Sent wish list search: C"));

        // Nothing enabled: nothing sent, the place kept.
        QVERIFY(PressToolBarButton(List(), QStringLiteral("Disable All")));
        wishListSearcher->OnSearchTimerTimeout();
        QCOMPARE(GetVolatileSetting(QStringLiteral("wish_list_search_index")), QStringLiteral("1"));
        // A list shorter than the place: sent from place modulo its length, then back to the top.
        d->GetType("wish_list_item")->HasItem(Value("B")).Remove();
        QVERIFY(PressToolBarButton(List(), QStringLiteral("Enable All")));
        SetVolatileSetting(QStringLiteral("wish_list_search_index"), QStringLiteral("4"));
        m_run->server.ClearFrames();
        wishListSearcher->OnSearchTimerTimeout();
        QVERIFY(m_run->server.WaitForFrames(SM_WISHLIST_SEARCH, 1, "tester"));
        QCOMPARE(Sent(), QStringList{"a"});
        QCOMPARE(GetVolatileSetting(QStringLiteral("wish_list_search_index")), QStringLiteral("0"));
    }

    void intervals_data()
    {
        QTest::addColumn<uint>("seconds");
        QTest::addColumn<int>("interval");
        QTest::newRow("none: stopped") << 0u << 0;
        QTest::newRow("a minute") << 60u << 60000;
        QTest::newRow("largest a timer holds") << 2147483u << 2147483000;
        QTest::newRow("beyond it") << 2147484u << 2147483647;
        QTest::newRow("beyond 32 bits of milliseconds") << 4294968u << 2147483647;
    }

    // Each interval message restarts the timer on its own interval.
    void intervals()
    {
        QFETCH(uint, seconds);
        QFETCH(int, interval);
        QVERIFY(Wait(600));
        QTRY_COMPARE(wishListSearcher->Timer().interval(), 600000);
        QVERIFY(Wait(seconds));
        QTRY_COMPARE(GetVolatileSetting(QStringLiteral("wish_list_wait")), QString::number(seconds));
        QCOMPARE(wishListSearcher->Timer().isActive(), interval > 0);
        if (interval > 0)
        {
            QCOMPARE(wishListSearcher->Timer().interval(), interval);
            QCOMPARE(diagnosticsForm->AreaLines(QStringLiteral("Wish List")).last().section("] ", 1),
                     QStringLiteral("Wish list wait period set to %1 milliseconds").arg(interval));
        }
        // An interval of 0 would search at every turn of the event loop.
        Add(QStringLiteral("a"), true);
        QTest::qWait(50);
        QCOMPARE(m_run->server.FramesWithCode(SM_WISHLIST_SEARCH, "tester").size(), 0);
    }

    void receivedSearches()
    {
        ReceivedSearchesForm* view = receivedSearchesForm;
        QTreeWidget* list = view->Form()->searchList;
        list->clear();
        for (int search = 0; search <= ReceivedSearchesForm::MaxRows; ++search)
            emit sharedFoldersManager->SearchProcessed(QStringLiteral("s%1").arg(search), search % 2 == 0);
        QCOMPARE(list->topLevelItemCount(), ReceivedSearchesForm::MaxRows);
        QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("s500"));
        QCOMPARE(list->topLevelItem(ReceivedSearchesForm::MaxRows - 1)->text(0), QStringLiteral("s1"));
        QCOMPARE((QStringList{list->topLevelItem(0)->text(1), list->topLevelItem(1)->text(1)}),
                 (QStringList{"Match", ""}));
        QCOMPARE(list->topLevelItem(0)->foreground(1).color(), QColor(QStringLiteral("#005500")));

        QVERIFY(PressToolBarButton(list, QStringLiteral("Pause")));
        QVERIFY(ShownButtons().contains(QStringLiteral("Resume")));
        emit sharedFoldersManager->SearchProcessed(QStringLiteral("while paused"), true);
        QVERIFY(PressToolBarButton(list, QStringLiteral("Resume")));
        QVERIFY(ShownButtons().contains(QStringLiteral("Pause")));
        emit sharedFoldersManager->SearchProcessed(QStringLiteral("s500"), false);
        QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("s500"));
        QCOMPARE(list->topLevelItem(1)->text(0), QStringLiteral("s500"));
        QVERIFY(list->findItems(QStringLiteral("while paused"), Qt::MatchExactly).isEmpty());
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        for (const char* text : {"lackluster container", "boards of canada", "Autechre live 1996"})
            Add(QString::fromLatin1(text), true);
        Add(QStringLiteral("rare demo tapes"), false);
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
            emit sharedFoldersManager->SearchProcessed(QString::fromLatin1(text), text[0] == 'l' || text[0] == 'a');
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
        bob.Send({QStringLiteral("share"), shared.path()});
        QVERIFY(bob.Take("shared"));

        Add(QStringLiteral("wanted"), true);
        QVERIFY(Wait(1));
        QVERIFY(m_run->server.WaitForFrames(SM_WISHLIST_SEARCH, 1, "tester", 5000));
        QCOMPARE(Sent().value(0), QStringLiteral("wanted"));
        QTRY_COMPARE_WITH_TIMEOUT(WishTabs()->count(), 1, 10000);
        QVERIFY(Wait(0));
        QTreeWidget* tree = qobject_cast<SearchResultsForm*>(WishTabs()->widget(0))->searchResults();
        QTreeWidgetItem* file = tree->topLevelItem(0)->child(0)->child(0);
        QCOMPARE(file->text(4), QStringLiteral("Wanted Song.txt"));
        file->setSelected(true);
        RunContextMenu(tree, tree->visualItemRect(file).center(), QStringLiteral("Download File(s)"));

        const ItemPtr entry = d->GetType("download_entry")->GetItems().First();
        QCOMPARE(entry["search_request_text"].AsString(), QStringLiteral("wanted"));
        QTRY_COMPARE_WITH_TIMEOUT(entry["download_entry_status"].AsString(), QStringLiteral("complete"), 30000);
        QFile arrived(TransferQueueManager::LocalPath(transferQueueManager->GetDownloadTargetPath(entry, true)));
        QVERIFY(arrived.open(QIODevice::ReadOnly));
        QCOMPARE(arrived.readAll(), QByteArray("wanted bytes"));
        arrived.remove();
    }
};

QTEST_MAIN(TestWishList)
#include "test_wish_list.moc"
