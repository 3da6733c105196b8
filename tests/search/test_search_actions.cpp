#include "ActionSetToolBar.h"
#include "FocusHelpers.h"
#include "SearchForm.h"
#include "SearchKit.h"
#include "SearchReplies.h"
#include "SearchResultMenuOptions.h"
#include "SearchResultsForm.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "TransferQueueManager.h"
#include "UserMenuOptions.h"
#include "WindowFixture.h"
#include "ui_SearchForm.h"

#include <QMenu>
#include <QtTest>

// Downloads from search results through the real transfer engine (double-click and the result
// menu), and the tool bar's toggles and orders, on a whole client logged in to the loopback
// server.
class TestSearchActions : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;
    SearchResultsForm* m_page = nullptr;
    unsigned int m_token = 0;

    SearchResultsForm* OpenTab(const QString& i_text)
    {
        Ui::SearchForm* form = searchForm->Form();
        form->searchEdit->setText(i_text);
        QTest::keyClick(form->searchEdit, Qt::Key_Return);
        auto* page = qobject_cast<SearchResultsForm*>(form->searchTabControl->currentWidget());
        m_token = d->GetType("search_results_widget")->HasItem(Value(page))["search_request"].AsUInt();
        return page;
    }

    static ReplyFile File(const QString& i_path) { return ReplyFile{i_path, 100, 0, QString(), -1}; }

    // The row by its cells below the top: "u", "u/b" (the folder as shown), "u/b/x.mp3".
    QTreeWidgetItem* Row(const QString& i_path) const
    {
        const QStringList steps = i_path.split(QLatin1Char('/'));
        QTreeWidget* tree = m_page->searchResults();
        QTreeWidgetItem* row = nullptr;
        for (int level = 0; level < steps.size(); ++level)
        {
            const int column = level == 0 ? 0 : level == 1 ? 3 : 4;
            const int count = row ? row->childCount() : tree->topLevelItemCount();
            QTreeWidgetItem* found = nullptr;
            for (int index = 0; index < count && !found; ++index)
            {
                QTreeWidgetItem* child = row ? row->child(index) : tree->topLevelItem(index);
                if (child->text(column) == steps[level])
                    found = child;
            }
            row = found;
            if (!row)
                return nullptr;
        }
        return row;
    }

    // The queued downloads in the order queued: "user|remote folder|name".
    static QStringList Queued()
    {
        QStringList queued;
        for (const ItemPtr& entry : d->GetType("download_entry")->GetItems().SortNumericBy("download_order", true))
            queued << entry["user"].AsString() + '|' + entry["remote_folder"].AsString() + '|'
                          + entry["file_name"].AsString();
        return queued;
    }

    // The files whose rows show the download icon.
    QStringList Marked() const
    {
        QStringList marked;
        for (QTreeWidgetItemIterator it(m_page->searchResults()); *it; ++it)
            if (!(*it)->icon(4).isNull())
                marked << (*it)->text(4);
        return marked;
    }

    // Opens the row's context menu; returns its entries and, when asked, chooses one.
    QStringList Menu(QTreeWidgetItem* ip_row, const QString& i_choose = QString(), QPoint i_point = QPoint())
    {
        QTreeWidget* tree = m_page->searchResults();
        return RunContextMenu(tree, ip_row ? tree->visualItemRect(ip_row).center() : i_point, i_choose);
    }

    void Select(const QStringList& i_rows)
    {
        m_page->searchResults()->clearSelection();
        for (const QString& path : i_rows)
            Row(path)->setSelected(true);
    }

    void Press(const QString& i_text) { QVERIFY(PressToolBarButton(m_page->searchResults(), i_text)); }

private slots:
    void initTestCase()
    {
        m_run = std::make_unique<WindowRun>();
        QVERIFY(m_run->Start());
        d->GetType("excluded_download_extension")->GetItem(Value(".ini"));
    }

    void init()
    {
        m_page = OpenTab(QStringLiteral("actions"));
        // Folder a: z; folder b: y, X, desktop.ini; shared at the root: top.mp3.
        SendSearchReply(m_token, {"u", true, 0, 0},
                        {File("b\\y.mp3"), File("b\\X.mp3"), File("b\\desktop.ini"), File("a\\z.mp3")});
        SendSearchReply(m_token, {"r", true, 0, 0}, {File("top.mp3")});
    }

    void cleanup()
    {
        for (const ItemPtr& entry : d->GetType("download_entry")->GetItems())
            transferQueueManager->RemoveDownload(entry);
        QTabWidget* tabs = searchForm->Form()->searchTabControl;
        while (tabs->count() > 0)
            emit tabs->tabCloseRequested(0);
    }

    void cleanupTestCase() { m_run.reset(); }

    void doubleClick_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QStringList>("queued");
        QTest::newRow("user: by folder, then name; no .ini")
            << "u" << QStringList{"u|a|z.mp3", "u|b|X.mp3", "u|b|y.mp3"};
        QTest::newRow("folder") << "u/b" << QStringList{"u|b|X.mp3", "u|b|y.mp3"};
        QTest::newRow("the one .ini file asked for") << "u/b/desktop.ini" << QStringList{"u|b|desktop.ini"};
        QTest::newRow("folder of files at the root") << "r/" << QStringList{"r||top.mp3"};
    }

    void doubleClick()
    {
        QFETCH(QString, row);
        QFETCH(QStringList, queued);
        QTreeWidgetItem* item = Row(row);
        QVERIFY(item);
        emit m_page->searchResults()->itemDoubleClicked(item, 0);
        QCOMPARE(Queued(), queued);
        QStringList names;
        for (const QString& entry : queued)
            names << entry.section('|', 2);
        QStringList marked = Marked();
        names.sort();
        marked.sort();
        QCOMPARE(marked, names);
        for (const ItemPtr& entry : d->GetType("download_entry")->GetItems())
            QCOMPARE(entry["search_request_text"].AsString(), QStringLiteral("actions"));

        // Again: the same entries, still linked to the search.
        emit m_page->searchResults()->itemDoubleClicked(item, 0);
        QCOMPARE(Queued(), queued);
    }

    void menuEntries_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("file") << "u/b/y.mp3" << QStringList{"Download File(s)", "Download Folder(s)", "Browse Folder"};
        QTest::newRow("folder") << "u/b" << QStringList{"Download Folder(s)", "Browse Folder"};
        QTest::newRow("root folder") << "r/" << QStringList{"Download Folder(s)", "Browse Folder"};
        QTest::newRow("user") << "u" << QStringList{};
    }

    void menuEntries()
    {
        QFETCH(QString, row);
        QFETCH(QStringList, entries);
        QMenu plain;
        UserMenuOptions userEntries(&plain, row.section(QLatin1Char('/'), 0, 0));
        QStringList expected = entries;
        if (!expected.isEmpty())
            expected << QStringLiteral("-");
        for (QAction* action : plain.actions())
            expected << (action->isSeparator() ? QStringLiteral("-") : action->text());
        QCOMPARE(Menu(Row(row)), expected);
    }

    void noMenuOutsideRows() { QCOMPARE(Menu(nullptr, QString(), QPoint(5, 1000)), QStringList()); }

    void downloadFilesStopsAtAUserRow()
    {
        Select({"u/b/y.mp3", "u/a/z.mp3", "r", "u/b/X.mp3"});
        Menu(Row("u/b/y.mp3"), QStringLiteral("Download File(s)"));
        QCOMPARE(Queued(), (QStringList{"u|b|y.mp3", "u|a|z.mp3"}));
    }

    void downloadFolders_data()
    {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<QStringList>("queued");
        // y.mp3 is hidden by the filter and queued all the same.
        QTest::newRow("by name, capitals first, once each")
            << QStringList{"u/b/X.mp3", "u/a", "u/b"} << QStringList{"u|b|X.mp3", "u|b|y.mp3", "u|a|z.mp3"};
        QTest::newRow("a user row among them") << QStringList{"u/a", "u"} << QStringList{};
    }

    void downloadFolders()
    {
        QFETCH(QStringList, selected);
        QFETCH(QStringList, queued);
        m_page->filterEdit()->setText(QStringLiteral("-y.mp3"));
        QVERIFY(Row("u/b/y.mp3")->isHidden());
        Select(selected);
        Menu(Row(selected.first()), QStringLiteral("Download Folder(s)"));
        QCOMPARE(Queued(), queued);
        QCOMPARE(Marked().size(), queued.size());
    }

    // Two users with one folder path: the folder row's menu belongs to its own user.
    void browseFolderOfItsOwnUser()
    {
        SendSearchReply(m_token, {"w", true, 0, 0}, {File("b\\other.mp3")});
        QMenu menu;
        SearchResultMenuOptions options(&menu, Row("w/b"));
        QCOMPARE((QStringList{options.User(), options.Folder(), options.SearchText()}),
                 (QStringList{"w", "b", "actions"}));
        Menu(Row("w/b"), QStringLiteral("Browse Folder"));
        QTabWidget* browseTabs = sharesForm->Tabs();
        QCOMPARE(browseTabs->tabText(browseTabs->currentIndex()), QStringLiteral("w"));
        static_cast<ShareForm*>(browseTabs->currentWidget())->Delete();
    }

    void toolBarToggles()
    {
        SearchResultsForm* first = m_page;
        QTreeWidgetItem* user = Row("u");
        Press(QStringLiteral("Expand Folders"));
        QVERIFY(!Row("u/b")->isExpanded() && !Row("u/a")->isExpanded());
        QVERIFY(ShownButtons().contains(QStringLiteral("Expand Folders [off]")));
        // Rows arriving later follow the tab's toggle.
        SendSearchReply(m_token, {"u", true, 0, 0}, {File("c\\new.mp3")});
        QVERIFY(!Row("u/c")->isExpanded());
        Press(QStringLiteral("Expand Users"));
        QVERIFY(!user->isExpanded());
        QVERIFY(ShownButtons().contains(QStringLiteral("Expand Users [off]")));
        Press(QStringLiteral("Expand Folders"));
        QVERIFY(Row("u/c")->isExpanded());

        Press(QStringLiteral("Order by Fastest"));
        QCOMPARE(m_page->searchResults()->sortColumn(), 2);
        QStringList shown = ShownButtons();
        QVERIFY(shown.contains(QStringLiteral("Order by Fastest [on]")));
        QVERIFY(shown.contains(QStringLiteral("Order by Available")));
        Press(QStringLiteral("Order by Available"));
        QCOMPARE(m_page->searchResults()->sortColumn(), 1);

        // Another tab keeps its own toggles.
        m_page = OpenTab(QStringLiteral("other"));
        Press(QStringLiteral("Expand Users"));
        shown = ShownButtons();
        QVERIFY(shown.contains(QStringLiteral("Expand Folders [on]")));
        QVERIFY(shown.contains(QStringLiteral("Expand Users [off]")));
        QVERIFY(shown.contains(QStringLiteral("Order by Available [on]")));
        QVERIFY(shown.contains(QStringLiteral("Add to Wishlist")));
        m_page = first;
    }
};

QTEST_MAIN(TestSearchActions)
#include "test_search_actions.moc"
