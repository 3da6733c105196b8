#include "ActionSetToolBar.h"
#include "DownloadPaths.h"
#include "FocusHelpers.h"
#include "PeerMessenger.h"
#include "Screenshot.h"
#include "ShareForm.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "TransferQueueManager.h"
#include "UploadForm.h"
#include "WebPages.h"
#include "WindowFixture.h"
#include "ui_MainWindow.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

// The Browse page of a real main window logged in as "tester": received lists as share items,
// the browse tab's tree, filter, file list and downloads, the "Upload to" tab and the tabs' life.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    explicit UrlRecorder(QStringList* op_urls)
        : mp_urls(op_urls)
    {
    }

public slots:
    void Open(const QUrl& i_url) { *mp_urls << i_url.toString(); }

private:
    QStringList* mp_urls;
};

class TestSharesForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;
    QTemporaryDir m_files;

    static FileInfo File(const char* ip_name, qint64 i_size = 1000, QVector<QPair<int, int>> i_attributes = {})
    {
        FileInfo file(ip_name, i_size);
        for (const auto& [code, value] : i_attributes)
            file.m_attributes.Add(code, value);
        return file;
    }
    static FileInfoMap List(const QMap<QString, QList<FileInfo>>& i_folders)
    {
        FileInfoMap list;
        for (auto folder = i_folders.begin(); folder != i_folders.end(); ++folder)
            list[folder.key().toStdString()].insert(folder.value().begin(), folder.value().end());
        return list;
    }
    // Files of these sizes under a folder "Music" of our own, shared with everyone; its path.
    QString ShareOwnFiles(const QMap<QString, qint64>& i_files)
    {
        const QString root = m_files.filePath("Music");
        for (auto file = i_files.begin(); file != i_files.end(); ++file)
        {
            QDir().mkpath(QFileInfo(root + file.key()).path());
            QFile made(root + file.key());
            if (!made.open(QIODevice::WriteOnly) || !made.resize(file.value()))
                qFatal("cannot make %s", qPrintable(made.fileName()));
        }
        sharedFoldersManager->AddSharedFolder(root).Connect(d->GetType("shared_public")->GetGlobalNullItem());
        return root;
    }
    static ShareForm* Browse(const QString& i_user, FileInfoMap i_list)
    {
        ShareForm* form = sharesForm->OpenShareBrowse(i_user);
        AttributeTranslationTable table;
        sharesForm->OnUserShare(i_user, i_list, table);
        return form;
    }
    // Every row in tree order, indented by depth; "-" marks a hidden one.
    static QStringList Rows(QTreeWidget* ip_tree)
    {
        QStringList rows;
        for (QTreeWidgetItemIterator it(ip_tree); *it; ++it)
        {
            // "-" for a row out of sight: hidden itself or below a hidden row.
            int depth = 0;
            bool hidden = (*it)->isHidden();
            for (QTreeWidgetItem* up = (*it)->parent(); up; up = up->parent())
            {
                ++depth;
                hidden = hidden || up->isHidden();
            }
            rows << QString(depth, ' ') + (*it)->text(0) + (hidden ? "-" : "");
        }
        return rows;
    }
    static QTreeWidgetItem* Row(QTreeWidget* ip_tree, const QString& i_text)
    {
        return ip_tree->findItems(i_text, Qt::MatchExactly | Qt::MatchRecursive).value(0);
    }
    static QStringList Listed(QTreeWidget* ip_list, int i_column = 0)
    {
        QStringList texts;
        for (int n = 0; n < ip_list->topLevelItemCount(); ++n)
            texts << ip_list->topLevelItem(n)->text(i_column);
        return texts;
    }
    // The download entries in the order they were queued: "folder/name level".
    static QStringList Queued()
    {
        QStringList queued;
        for (const ItemPtr& entry :
             TransferQueueManager::ByOrder(d->GetType("download_entry")->GetItems(), "download_order"))
            queued << entry["remote_folder"].AsString() + '/' + entry["file_name"].AsString() + ' '
                          + entry["subfolder_save_level"].AsString();
        return queued;
    }
    // Triggers the tool bar's button with that text for the widget, as a click would.
    static void Click(QWidget* ip_widget, const QString& i_text)
    {
        FocusWidgetAndParents(ip_widget);
        ip_widget->setFocus(); // once its tab is open: a tab focuses its folder tree when opened
        for (QAction* action : actionBar->actions())
            if (action->text().startsWith(i_text))
                return action->trigger();
        QFAIL(qPrintable("no button " + i_text));
    }
    static QString ExpandLevelText(QWidget* ip_tree)
    {
        FocusWidgetAndParents(ip_tree);
        for (QAction* action : actionBar->actions())
            if (action->text().startsWith("Expand Level"))
                return action->text();
        return QString();
    }
    // The entries of the menu the widget opens at the point; chooses the first when asked to.
    static QStringList Menu(QTreeWidget* ip_tree, const QPoint& i_point, bool i_choose)
    {
        QStringList entries;
        QTimer opened; // gone with this call when no menu opened
        opened.setSingleShot(true);
        opened.start(0);
        QObject::connect(&opened, &QTimer::timeout, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget()))
            {
                for (QAction* action : menu->actions())
                    entries << action->text();
                if (i_choose)
                    menu->actions().first()->trigger();
                menu->close();
            }
        });
        emit ip_tree->customContextMenuRequested(i_point);
        return entries;
    }

private slots:
    void init()
    {
        m_run = std::make_unique<WindowRun>();
        QVERIFY(m_run->Start());
    }
    void cleanup() { m_run.reset(); }

    void listBecomesShareItems()
    {
        const FileInfoMap list = List({{"Music", {File("a.mp3", 5, {{2, 0}, {0, 128}, {3, 9}, {0, 320}})}},
                                       {"Music\\Rock", {File("b.mp3", 6, {{2, 1}, {1, 245}})}},
                                       {"Video\\Clips", {File("c.avi", 7, {{2, -1}})}}});
        const ItemPtr share = SharesForm::CreateUserShareData(list, {});
        const ItemPtr other = SharesForm::CreateUserShareData(list, {});
        QStringList shape;
        for (const ItemPtr& folder : share.GetItems("user_share_folder"))
        {
            const ItemPtr file = folder["user_share_file"];
            const ItemPtr parent = folder["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"];
            shape << folder["user_share_folder_name"].AsString() + '|' + parent["user_share_folder_name"].AsString();
            for (const char* type : {"user_share_file_name", "file_size", "bitrate", "length_seconds", "bitrate_mode"})
                shape.last() += '|' + file[type].AsString();
        }
        QCOMPARE(shape, (QStringList{"Music||a.mp3|5|320||cbr", "Music\\Rock|Music|b.mp3|6||245|vbr",
                                     "Video\\Clips||c.avi|7|||vbr"}));
        // One name item for both shares; each share finds its own folder through it.
        const ItemPtr name = d->GetType("user_share_folder_name")->HasItem("Music");
        QCOMPARE(name.GetItems("user_share_folder").size(), std::size_t(2));
        QVERIFY(d->GetItem(name, other, "user_share_folder") != d->GetItem(name, share, "user_share_folder"));
        QVERIFY(SharesForm::CreateUserShareData({}, {}).GetItems("user_share_folder").empty());
    }

    void treeAndExpandCommands()
    {
        ShareForm* form = Browse(
            "ann",
            List({{"music", {}}, {"music\\rock", {}}, {"music\\Rock", {}}, {"music\\Rock\\old", {}}, {"a\\b\\c", {}}}));
        QCOMPARE(Rows(form->FolderTree()), (QStringList{"c", "music", " Rock", "  old", " rock"}));
        QVERIFY(Row(form->FolderTree(), "Rock")->isExpanded());
        QCOMPARE(form->MaxDepth(), 2);
        QCOMPARE(sharesForm->Tabs()->tabText(0), QStringLiteral("ann"));
        QStringList texts;
        for (int press = 0; press < 3; ++press)
        {
            Click(form->FolderTree(), "Expand Level");
            texts << ExpandLevelText(form->FolderTree());
        }
        QCOMPARE(texts, (QStringList{"Expand Level [1]", "Expand Level [2]", "Expand Level [2]"}));
        QVERIFY(Row(form->FolderTree(), "music")->isExpanded() && Row(form->FolderTree(), "Rock")->isExpanded());
        Click(form->FolderTree(), "Expand All");
        QCOMPARE(ExpandLevelText(form->FolderTree()), QStringLiteral("Expand Level"));
        QVERIFY(Row(form->FolderTree(), "old")->isExpanded());
        Click(form->FolderTree(), "Collapse All");
        QCOMPARE(ExpandLevelText(form->FolderTree()), QStringLiteral("Expand Level"));
        QVERIFY(!Row(form->FolderTree(), "music")->isExpanded());

        SetSetting("expand_new_shares", "no");
        ShareForm* closed = Browse("bob", List({{"music", {}}, {"music\\rock", {}}}));
        QVERIFY(!Row(closed->FolderTree(), "music")->isExpanded());
    }

    void filter_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("rows"); // "-" marks a row out of sight
        QTest::addColumn<QString>("listed");
        const auto row = [](const char* ip_name, const char* ip_filter, const char* ip_current, const char* ip_rows,
                            const char* ip_listed) {
            QTest::newRow(ip_name) << QString(ip_filter) << QString(ip_current) << QString(ip_rows)
                                   << QString(ip_listed);
        };
        row("none", "  ", "rock", "demos| sub|pop|rock| live|three|two", "live1.mp3|studio.mp3");
        row("words in names and files", "rock live", "rock", "demos-| sub-|pop-|rock| live|three-|two-", "live1.mp3");
        row("words left to files", "rock live", "live", "", "x.mp3");
        row("excluded word", "-demo", "pop", "demos-| sub-|pop|rock| live|three|two", "");
        row("files per folder", "mfif:3", "three", "demos-| sub-|pop-|rock-| live-|three|two-", "1|2|3");
        row("current folder hidden", "mfif:3", "two", "", "");
        row("attributes", "isvbr mbr:200 mfs:1", "two", "demos-| sub-|pop-|rock-| live-|three-|two", "1");
        row("minimum bitrate", "mbr:300", "two", "demos-| sub-|pop-|rock-| live-|three-|two", "2");
        row("minimum file size", "mfs:1", "two", "demos-| sub-|pop-|rock-| live-|three-|two", "1|2");
    }

    void filter()
    {
        QFETCH(QString, filter);
        QFETCH(QString, current);
        QFETCH(QString, rows);
        QFETCH(QString, listed);
        ShareForm* form = Browse(
            "ann", List({{"rock", {File("live1.mp3"), File("studio.mp3")}},
                         {"rock\\live", {File("x.mp3")}},
                         {"demos", {File("a")}},
                         {"demos\\sub", {File("b")}},
                         {"pop", {File("demo1.mp3"), File("demo2.mp3")}},
                         {"two", {File("1", 2000000, {{0, 256}, {2, 1}}), File("2", 2000000, {{0, 320}, {2, 0}})}},
                         {"three", {File("1"), File("2"), File("3")}}}));
        form->FolderTree()->setCurrentItem(Row(form->FolderTree(), current));
        form->FilterEdit()->setText(filter);
        if (!rows.isEmpty())
            QCOMPARE(Rows(form->FolderTree()).join('|'), rows);
        QCOMPARE(Listed(form->FileList()).join('|'), listed);
        QCOMPARE(d->GetType("user_share_file_node")->GetItemCount(), std::size_t(Listed(form->FileList()).size()));
        form->FilterEdit()->clear();
        // Rows left below a hidden one show again with it.
        QCOMPARE(Rows(form->FolderTree()).join('|'), QStringLiteral("demos| sub|pop|rock| live|three|two"));
        QCOMPARE(std::size_t(form->FileList()->topLevelItemCount()),
                 ShareView::FolderOfRow(form->FolderTree()->currentItem()).GetItems("user_share_file").size());
    }

    // Names of any bytes and any letters, from the cache of folded names or the parser alike: a
    // name holding a NUL is one file, and folding is the filter's own (the Kelvin sign is a "k",
    // the long s an "s").
    void filter_on_names_of_any_bytes_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("rows");
        QTest::newRow("one file with a NUL") << "mfif:2"
                                             << "d1-|d2|d3|d4-|d5";
        QTest::newRow("words on both sides of a NUL") << "a b"
                                                      << "d1|d2-|d3-|d4-|d5-";
        QTest::newRow("a word in two names") << "rock mfif:2"
                                             << "d1-|d2-|d3-|d4-|d5";
        QTest::newRow("a word in one name of two") << "mp3 mfif:2"
                                                   << "d1-|d2|d3-|d4-|d5";
        QTest::newRow("accents in another case") << QString::fromUtf8("ÉTÉ") << "d1-|d2|d3-|d4-|d5-";
        QTest::newRow("signs folding to ASCII") << "k"
                                                << "d1-|d2-|d3|d4|d5";
        QTest::newRow("long s") << "S"
                                << "d1-|d2-|d3|d4-|d5-";
        QTest::newRow("excluded accent") << QString::fromUtf8("-ï") << "d1|d2|d3|d4|d5";
        QTest::newRow("word beyond the basic plane") << QString::fromUtf8("\xF0\x9F\x98\x80") << "d1-|d2-|d3-|d4|d5-";
        QTest::newRow("excluded beyond the basic plane")
            << QString::fromUtf8("rock -\xF0\x9F\x98\x80") << "d1-|d2-|d3-|d4-|d5";
    }

    void filter_on_names_of_any_bytes()
    {
        QFETCH(QString, filter);
        QFETCH(QString, rows);
        FileInfoMap list;
        list["d1"].insert(FileInfo(std::string("a\0b", 3), 1000));
        list["d2"] = {FileInfo("\xC3\x89t\xC3\xA9.mp3", 1000), FileInfo("na\xC3\xAFve.mp3", 1000)};
        list["d3"] = {FileInfo("\xE2\x84\xAA.mp3", 1000), FileInfo("\xC5\xBF.txt", 1000)};
        list["d4"] = {FileInfo("\xF0\x9F\x98\x80 Rock.mp3", 1000)};
        list["d5"] = {FileInfo("Rock.mp3", 1000), FileInfo("rock2.mp3", 1000)};
        ShareForm* form = Browse("ann", list);
        form->FilterEdit()->setText(filter);
        QCOMPARE(Rows(form->FolderTree()).join('|'), rows);
    }

    void fileListCellsAndSizeOrder()
    {
        ShareForm* form = Browse(
            "ann",
            List({{"A",
                   {File("cbr", 512, {{0, 320}, {2, 0}, {1, 245}}), File("empty", 0), File("vbr", 1024, {{2, 1}})}}}));
        QTreeWidget* files = form->FileList();
        form->FolderTree()->setCurrentItem(form->FolderTree()->topLevelItem(0));
        QCOMPARE(Listed(files, 1), (QStringList{"512", "", "1,024"}));
        QCOMPARE(Listed(files, 2), (QStringList{"320 CBR, 4m5s", "", " VBR"}));
        files->sortByColumn(1, Qt::AscendingOrder);
        QCOMPARE(Listed(files), (QStringList{"empty", "vbr", "cbr"})); // "1,024" before "512": text
    }

    void downloadsKeepTheChosenFoldersTree()
    {
        d->GetType("excluded_download_extension")->GetItem(".ini");
        ShareForm* form = Browse("ann", List({{"A", {File("x.mp3"), File("desktop.ini")}},
                                              {"A\\B", {File("y.mp3")}},
                                              {"A\\B\\C", {File("z.mp3")}},
                                              {"Other", {File("o.mp3")}},
                                              {"..\\..", {File("..")}}}));
        QTreeWidget* tree = form->FolderTree();
        tree->setCurrentItem(Row(tree, "A"));
        QCOMPARE(Menu(tree, tree->visualItemRect(Row(tree, "A")).center(), true), QStringList{"Download Folder"});
        QCOMPARE(Queued(), (QStringList{"A/x.mp3 0", "A\\B/y.mp3 1", "A\\B\\C/z.mp3 2"}));
        QVERIFY(!Row(form->FileList(), "x.mp3")->icon(0).isNull());
        QVERIFY(Row(form->FileList(), "desktop.ini")->icon(0).isNull());
        QCOMPARE(Menu(tree, QPoint(5, tree->viewport()->height() - 2), true), QStringList());

        emit form->FileList()->itemDoubleClicked(Row(form->FileList(), "desktop.ini"), 0);
        QCOMPARE(Queued().last(), QStringLiteral("A/desktop.ini 0"));
        form->FileList()->clearSelection();
        QCOMPARE(Menu(form->FileList(), QPoint(5, 200), true), QStringList{"Download File(s)"});
        QCOMPARE(Queued().size(), 4);
        // A refill shows no icons, though the files are queued.
        form->FilterEdit()->setText("mp3");
        QVERIFY(Row(form->FileList(), "x.mp3")->icon(0).isNull());

        // Names from the other user never lead out of the download folder.
        emit tree->itemDoubleClicked(Row(tree, ".."), 0);
        const ItemPtr hostile = transferQueueManager->GetDownloadEntry("ann", "..", "..\\..");
        const QString target = transferQueueManager->GetDownloadTargetPath(hostile, true);
        QVERIFY(QDir::cleanPath(DownloadPaths::LocalPath(target))
                    .startsWith(QDir::cleanPath(GetSetting("download_folder")) + "/complete/"));
    }

    void laterListsReplaceTheTree()
    {
        ShareForm* form = Browse("ann", List({{"old", {File("1")}}}));
        form->FolderTree()->setCurrentItem(form->FolderTree()->topLevelItem(0));
        Browse("ann", List({}));
        QVERIFY(form->findChild<QTextBrowser*>("messageBrowser")->toPlainText().endsWith("privately."));
        QVERIFY(!form->FolderTree()->isVisibleTo(form));
        for (const char* name : {"new", "newer"})
        {
            Browse("ann", List({{name, {File("1")}}, {QString(name) + "\\sub", {}}}));
            QCOMPARE(Rows(form->FolderTree()), (QStringList{name, QStringLiteral(" sub")}));
            QCOMPARE(d->GetType("user_share_folder_node")->GetItemCount(), std::size_t(2));
            QCOMPARE(Listed(form->FileList()), QStringList());
        }
        QCOMPARE(d->GetType("user_share")->GetItemCount(), std::size_t(1));
        QCOMPARE(sharesForm->Tabs()->count(), 1);
        QVERIFY(form->FolderTree()->isVisibleTo(form));
        // Nothing is kept for a user without a tab.
        FileInfoMap list = List({{"x", {}}});
        AttributeTranslationTable table;
        sharesForm->OnUserShare("nobody", list, table);
        QCOMPARE(d->GetType("user_share")->GetItemCount(), std::size_t(1));
    }

    // A closed tab's items go at idle time: the user browsed again meanwhile gets a tree of its own,
    // which the old items' removal leaves whole.
    void browsedAgainBeforeTheClosedTabsItemsGo()
    {
        const FileInfoMap list = List({{"A", {File("1", 5), File("2", 6)}}, {"A\\B", {File("3", 7)}}});
        ShareForm* form = Browse("ann", list);
        sharesForm->OnTabCloseRequested(sharesForm->Tabs()->indexOf(form));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(d->HasRemovalsPending());
        form = Browse("ann", list);
        QTRY_VERIFY(!d->HasRemovalsPending());
        QCOMPARE(d->GetType("user_share_file")->GetItemCount(), std::size_t(3));
        QCOMPARE(Rows(form->FolderTree()), (QStringList{"A", " B"}));
        form->FolderTree()->setCurrentItem(Row(form->FolderTree(), "A"));
        QCOMPARE(Listed(form->FileList()), (QStringList{"1", "2"}));
        QCOMPARE(Listed(form->FileList(), 1), (QStringList{"5", "6"}));
    }

    void browseToFolderAndConnectionFailure()
    {
        ShareForm* form = sharesForm->OpenShareBrowse("ann");
        QCOMPARE(sharesForm->OpenShareBrowse("ann"), form);
        form->BrowseToFolder("A\\B");
        for (const auto& [user, type] :
             QList<QPair<QString, QString>>{{"bob", "P"}, {"ann", "F"}, {"ann", "P"}, {"ann", "P"}})
            emit peerMessenger->ConnectionToUserFailed(user, type);
        auto* browser = form->findChild<QTextBrowser*>("messageBrowser");
        QCOMPARE(browser->toPlainText().count("Check here"), 1);
        QVERIFY(browser->toHtml().contains(PortTestPage(GetSetting("listening_port").toInt()).toString()));
        Browse("ann", List({{"A", {}}, {"A\\B", {}}}));
        QCOMPARE(form->FolderTree()->currentItem(), Row(form->FolderTree(), "B"));
        form->BrowseToFolder("A\\nowhere");
        QCOMPARE(form->FolderTree()->currentItem(), Row(form->FolderTree(), "B"));
    }

    // A tab out of sight announces its list on the folder tree and its failures on the message
    // view; looking at the tab takes both notices away. The failure's link opens the port test.
    void noticesAndTheirLink()
    {
        ShareForm* form = sharesForm->OpenShareBrowse("ann");
        m_run->window->Form()->tabControl->setCurrentWidget(m_run->window->Form()->roomsTab);
        emit peerMessenger->ConnectionToUserFailed("ann", "P");
        QCOMPARE(EventTexts(), QStringList{"ann"});
        ShareForm* other = sharesForm->OpenShareBrowse("bob");
        m_run->window->Form()->tabControl->setCurrentWidget(m_run->window->Form()->roomsTab);
        FileInfoMap list = List({{"A", {File("1")}}});
        AttributeTranslationTable table;
        sharesForm->OnUserShare("bob", list, table);
        QCOMPARE(EventTexts(), (QStringList{"ann", "bob"}));
        FocusWidgetAndParents(other);
        QCOMPARE(EventTexts(), QStringList{"ann"});
        FocusWidgetAndParents(form);
        QCOMPARE(EventTexts().count("ann"), 0);

        QStringList opened;
        UrlRecorder recorder(&opened);
        QDesktopServices::setUrlHandler("http", &recorder, "Open");
        auto* browser = form->findChild<QTextBrowser*>("messageBrowser");
        QTextCursor link = browser->document()->find("Check here");
        QVERIFY(!link.isNull());
        link.setPosition(link.selectionStart() + 2);
        const QPoint at = browser->cursorRect(link).center();
        QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, at);
        QDesktopServices::unsetUrlHandler("http");
        QCOMPARE(opened, QStringList{PortTestPage(GetSetting("listening_port").toInt()).toString()});
    }

    void uploadToAndClosing()
    {
        const QString root = ShareOwnFiles({{"/song.ogg", 1}, {"/b.ogg", 1}, {"/Rock/r.ogg", 1}});
        UploadForm* upload = sharesForm->OpenUploadBrowse("ann");
        QCOMPARE(sharesForm->Tabs()->tabText(0), QStringLiteral("Upload to ann"));
        ShareForm* browse = Browse("ann", List({{"A", {File("1")}}}));
        QTreeWidget* tree = upload->FolderTree();
        tree->setCurrentItem(Row(tree, "Music"));
        Row(upload->FileList(), "song.ogg")->setSelected(true);
        sharedFoldersManager->GetSharedFileItem(root + "/b.ogg").Remove(); // no longer shared
        emit actionBar->ActionTriggered(tree, "upload_share_file");        // not its list
        QVERIFY(d->GetType("upload_entry")->GetItems().empty());
        Click(upload->FileList(), "Upload File");
        Click(tree, "Upload Folder");
        QStringList offered;
        for (const ItemPtr& entry : d->GetType("upload_entry")->GetItems())
            offered << entry["filename_as_requested"].AsString().remove(QString(root).replace('/', '\\'));
        QCOMPARE(offered, (QStringList{"\\song.ogg", "\\Rock\\r.ogg"}));
        QVERIFY(!Row(upload->FileList(), "song.ogg")->icon(0).isNull());
        QVERIFY(Row(upload->FileList(), "b.ogg")->icon(0).isNull());
        QCOMPARE(sharesForm->OpenUploadBrowse("ann"), upload);

        // The browse tab takes only the received share; the upload tab keeps its own.
        // Its items go at idle time; the user no longer has it at once.
        sharesForm->OnTabCloseRequested(sharesForm->Tabs()->indexOf(browse));
        QVERIFY(!d->GetType("user")->HasItem(Value("ann"))["user_share"]);
        QTRY_COMPARE(d->GetType("user_share")->GetItemCount(), std::size_t(1));
        QVERIFY(!upload->Share().GetItems("user_share_folder").empty());
        sharesForm->OnTabCloseRequested(0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(sharesForm->Tabs()->count(), 0);
        QTRY_VERIFY(!d->HasRemovalsPending());
        for (const char* type :
             {"user_share", "user_share_folder", "user_share_folder_name", "user_share_folder_parent",
              "user_share_folder_child", "user_share_file", "user_share_file_name", "user_share_folder_node",
              "user_share_file_node", "user_share_tab", "upload_share_tab"})
            QVERIFY2(d->GetType(type)->GetItemCount() == 0, type);
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        const QVector<QPair<int, int>> mp3{{0, 320}, {2, 0}, {1, 337}};
        ShareForm* form = Browse("ann", List({{"Music", {}},
                                              {"Music\\Jazz", {File("blue in green.mp3", 5400321, mp3)}},
                                              {"Music\\Rock",
                                               {File("anthem.mp3", 7340032, {{0, 256}, {2, 1}, {1, 245}}),
                                                File("cover.jpg", 81920), File("notes.txt", 512)}},
                                              {"Photos", {}},
                                              {"Photos\\2019", {File("beach.jpg", 2048000)}}}));
        form->FolderTree()->setCurrentItem(Row(form->FolderTree(), "Rock"));
        emit form->FileList()->itemDoubleClicked(Row(form->FileList(), "anthem.mp3"), 0);
        FocusWidgetAndParents(form->FolderTree());
        m_run->window->resize(900, 560);
        SAVE_SCREENSHOT(m_run->window.get(), "browse_tab");

        // Accented names under a filter typed in another case.
        FileInfoMap accented;
        accented["Musique\\\xC3\x89t\xC3\xA9"] = {FileInfo("Caf\xC3\xA9 de l'\xC3\xA9t\xC3\xA9.mp3", 4200000),
                                                  FileInfo("Na\xC3\xAFve.mp3", 3900000)};
        accented["Musique\\Hiver"] = {FileInfo("\xC3\x89t\xC3\xA9 indien.mp3", 5100000),
                                      FileInfo("Neige.mp3", 2800000)};
        accented["Musique\\Printemps"] = {FileInfo("Pluie.mp3", 3300000)};
        ShareForm* filtered = Browse(QString::fromUtf8("l\xC3\xA9"
                                                       "a"),
                                     accented);
        filtered->FilterEdit()->setText(QString::fromUtf8("\xC3\x89T\xC3\x89"));
        filtered->FolderTree()->setCurrentItem(Row(filtered->FolderTree(), "Hiver"));
        FocusWidgetAndParents(filtered->FolderTree());
        SAVE_SCREENSHOT(m_run->window.get(), "browse_tab_filtered");

        ShareOwnFiles({{"/intro.ogg", 3100000}, {"/song.ogg", 4096000}, {"/Live/encore.ogg", 9000000}});
        UploadForm* upload = sharesForm->OpenUploadBrowse("ann");
        upload->FolderTree()->setCurrentItem(upload->FolderTree()->topLevelItem(0));
        Row(upload->FileList(), "song.ogg")->setSelected(true);
        Click(upload->FileList(), "Upload File");
        SAVE_SCREENSHOT(m_run->window.get(), "upload_to_tab");

        // A closed tab goes at once; its items follow at idle time.
        sharesForm->OnTabCloseRequested(sharesForm->Tabs()->indexOf(form));
        FocusWidgetAndParents(upload->FolderTree());
        SAVE_SCREENSHOT(m_run->window.get(), "browse_tab_closed");
    }
};

QTEST_MAIN(TestSharesForm)
#include "test_shares_form.moc"
