#include "FocusHelpers.h"
#include "NestedTabs.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QTabBar>
#include <QVBoxLayout>
#include <QtTest>

#include <vector>

// Which child takes the focus when a tab opens, and the walks through nested tabs.
class TestFocusHelpers : public QObject
{
    Q_OBJECT

private slots:
    void tabOpeningFocus_data()
    {
        QTest::addColumn<QList<int>>("priorities");
        QTest::addColumn<int>("hidden");
        QTest::addColumn<int>("focused");
        QTest::newRow("1 then 2") << QList<int>{1, 2} << -1 << 1;
        QTest::newRow("2 then 1") << QList<int>{2, 1} << -1 << 0;
        QTest::newRow("equal: the first") << QList<int>{1, 1} << -1 << 0;
        QTest::newRow("a hidden 2") << QList<int>{2, 1} << 0 << 1;
    }

    // Registering in a hidden tab moves no focus; opening the tab focuses the highest priority.
    void tabOpeningFocus()
    {
        QFETCH(QList<int>, priorities);
        QFETCH(int, hidden);
        QFETCH(int, focused);
        QWidget window;
        auto* tabs = new TabWidget;
        (new QVBoxLayout(&window))->addWidget(tabs);
        auto* first = new QLineEdit;
        tabs->addTab(first, "first");
        auto* page = new QWidget;
        auto* layout = new QVBoxLayout(page);
        tabs->addTab(page, "page");
        std::vector<QLineEdit*> edits;
        for (int at = 0; at < priorities.size(); ++at)
            layout->addWidget(edits.emplace_back(new QLineEdit));
        if (hidden >= 0)
            edits.at(hidden)->hide();
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        first->setFocus();
        for (int at = 0; at < priorities.size(); ++at)
            RegisterWidgetForTabFocus(edits.at(at), priorities.at(at));
        QCOMPARE(QApplication::focusWidget(), first);
        tabs->setCurrentIndex(1);
        QCOMPARE(QApplication::focusWidget(), edits.at(focused));
    }

    void nestedTabs()
    {
        NestedTabs tabs;
        tabs.window.show();
        QVERIFY(QTest::qWaitForWindowActive(&tabs.window));
        int index = 7;
        QCOMPARE(GetWidgetTabWidget(tabs.outside, index), nullptr);
        QCOMPARE(index, 7);
        QCOMPARE(GetWidgetTabWidget(tabs.target, index), tabs.inner);
        QCOMPARE(index, 1);

        // Tabs marked for activity lose the mark when opened; closing the last tab is harmless.
        TabWidget::MarkTabActivity(tabs.target);
        QCOMPARE(tabs.middle->tabBar()->tabTextColor(1), QColor(Qt::blue));
        QStringList order;
        for (QTabWidget* tabWidget : {tabs.outer, tabs.middle, tabs.inner})
            connect(tabWidget, &QTabWidget::currentChanged, this,
                    [&order, tabWidget](int i_index) { order << tabWidget->tabText(i_index); });
        FocusWidgetAndParents(tabs.target);
        QCOMPARE(order, QStringList({"target", "inner", "middle"}));
        QCOMPARE(QApplication::focusWidget(), tabs.target);
        for (QTabWidget* tabWidget : {tabs.outer, tabs.middle, tabs.inner})
            QVERIFY(!tabWidget->tabBar()->tabTextColor(1).isValid());
        tabs.inner->clear();
    }

    // A slot on KeyPressed still sees the row the key was pressed on.
    void keyPressedBeforeTheTreeMoves()
    {
        TreeWidget tree;
        for (const char* row : {"r0", "r1"})
            tree.addTopLevelItem(new QTreeWidgetItem({row}));
        tree.setCurrentItem(tree.topLevelItem(0));
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        QString seen;
        connect(&tree, &TreeWidget::KeyPressed, this, [&] { seen = tree.currentItem()->text(0); });
        QTest::keyClick(&tree, Qt::Key_Down);
        QCOMPARE(seen, QStringLiteral("r0"));
        QCOMPARE(tree.currentItem()->text(0), QStringLiteral("r1"));
    }
};

QTEST_MAIN(TestFocusHelpers)
#include "test_focus_helpers.moc"
