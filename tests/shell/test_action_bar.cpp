#include "ActionSetToolBar.h"
#include "DataFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QSignalSpy>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

// The context tool bar on its own, in a window of two panes of set "a" (a line edit over a tree
// of three rows; a line edit), a tab widget whose pages have the sets "a" and "b", and a line
// edit of no set.
class TestActionBar : public QObject
{
    Q_OBJECT

private:
    DataFixture m_store;
    std::unique_ptr<QMainWindow> m_window;
    ActionSetToolBar* m_bar = nullptr;
    QWidget* m_paneA = nullptr;
    QLineEdit* m_editA = nullptr;
    QTreeWidget* m_tree = nullptr;
    QWidget* m_paneB = nullptr;
    QLineEdit* m_editB = nullptr;
    QTabWidget* m_tabs = nullptr;
    QLineEdit* m_outside = nullptr;

    // The bar left to right: [button], label, <spacer>, action texts ("-" when hidden).
    static QStringList Layout(const ActionSetToolBar* ip_bar)
    {
        QStringList shown;
        for (QAction* action : ip_bar->actions())
        {
            QWidget* widget = ip_bar->widgetForAction(action);
            if (auto* button = qobject_cast<QPushButton*>(widget))
                shown << '[' + button->text() + ']';
            else if (auto* label = qobject_cast<QLabel*>(widget))
                shown << label->text();
            else
                shown << (qobject_cast<QToolButton*>(widget) ? action->isVisible() ? "" : "-" : "<spacer>")
                             + action->text();
        }
        return shown;
    }

    QStringList Set() const { return Layout(m_bar).mid(2, Layout(m_bar).size() - 5); }

    QAction* Button(const QString& i_text) const
    {
        for (QAction* action : m_bar->actions())
            if (action->text() == i_text)
                return action;
        return nullptr;
    }

    template<class W> W* Add(QWidget* ip_parent, W* ip_widget)
    {
        ip_parent->layout()->addWidget(ip_widget);
        return ip_widget;
    }

private slots:
    void init()
    {
        m_store.Begin();
        DeclareSettingTypes(d);
        SetSetting(QStringLiteral("availability_status"), QStringLiteral("away"));
        m_window = std::make_unique<QMainWindow>();
        m_window->addToolBar(m_bar = new ActionSetToolBar(m_window.get()));
        auto* central = new QWidget;
        new QVBoxLayout(central);
        m_window->setCentralWidget(central);
        m_paneA = Add(central, new QWidget);
        new QVBoxLayout(m_paneA);
        m_editA = Add(m_paneA, new QLineEdit);
        m_tree = Add(m_paneA, new QTreeWidget);
        m_tree->setColumnCount(2);
        m_tree->setSelectionMode(QAbstractItemView::MultiSelection);
        for (const char* row : {"r0", "r1", "r2"})
            m_tree->addTopLevelItem(new QTreeWidgetItem({row, QStringLiteral("user of ") + row}));
        m_paneB = Add(central, new QWidget);
        new QVBoxLayout(m_paneB);
        m_editB = Add(m_paneB, new QLineEdit);
        m_tabs = Add(central, new QTabWidget);
        m_tabs->addTab(new QLineEdit, "first");
        m_tabs->addTab(new QLineEdit, "second");
        m_outside = Add(central, new QLineEdit);

        m_bar->Init();
        m_bar->AddSetAction("a", "a1", "A1", ":/icons/room_icon", false);
        m_bar->AddSetAction("b", "b1", "B1", ":/icons/room_icon", false);
        m_bar->AddSetAction("a", "a2", "A2", ":/icons/room_icon", true);
        m_bar->AddSetAction("b", "a1", "B's A1", ":/icons/room_icon", false);
        for (QWidget* widget : {m_paneA, m_paneB, m_tabs->widget(0)})
            m_bar->RegisterWidget(widget, "a");
        m_bar->RegisterWidget(m_tabs->widget(1), "b");
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        m_outside->setFocus();
    }

    void cleanup()
    {
        m_window.reset();
        m_store.End();
    }

    // Order across sets, the fixed widgets, tabs standing for their current page, and a focus move
    // inside one widget: no rebuild, its keys copied again.
    void setsFollowTheFocus()
    {
        const ActionSetToolBar unused;
        QCOMPARE(Layout(&unused), QStringList({"", "<spacer>", "[Support Veltrane!]"}));
        m_editA->setFocus();
        QCOMPARE(Layout(m_bar), QStringList({"[Away]", " ", "A1", "A2", "", "<spacer>", "[Support Veltrane!]"}));
        m_outside->setFocus();
        QCOMPARE(Set(), QStringList());
        m_tabs->setCurrentIndex(1);
        m_tabs->tabBar()->setFocus();
        QCOMPARE(Set(), QStringList({"B1", "B's A1"}));

        QCOMPARE(m_bar->GetKey("user"), QString());
        m_bar->AddWidgetKey(m_paneA, "user", "constant");
        m_bar->AddWidgetColumnKey(m_paneA, "user", 1);
        m_editA->setFocus();
        const QList<QAction*> before = m_bar->actions();
        m_tree->setFocus();
        m_tree->topLevelItem(1)->setSelected(true);
        Button("A1")->trigger();
        QCOMPARE(m_bar->GetKey("user"), QStringLiteral("user of r1"));
        m_editA->setFocus();
        QCOMPARE(m_bar->actions(), before);
        QCOMPARE(m_bar->GetKey("user"), QStringLiteral("constant"));
    }

    void trigger_data()
    {
        QTest::addColumn<bool>("inTree");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("emitted");
        QTest::addColumn<QString>("key");
        QTest::newRow("three rows: first as selected") << true << QList<int>{2, 0, 1} << "a2" << 1 << "r2";
        QTest::newRow("no row, needs one") << true << QList<int>{} << "a2" << 0 << "earlier";
        QTest::newRow("no row, needs none") << true << QList<int>{} << "a1" << 1 << "earlier";
        QTest::newRow("line edit of the pane") << false << QList<int>{1} << "a2" << 1 << "earlier";
    }

    void trigger()
    {
        QFETCH(bool, inTree);
        QFETCH(QList<int>, selected);
        QFETCH(QString, id);
        QFETCH(int, emitted);
        QFETCH(QString, key);
        m_bar->AddWidgetColumnKey(m_paneA, "row", 0);
        m_bar->AddWidgetKey(m_paneA, "row", "earlier");
        (inTree ? static_cast<QWidget*>(m_tree) : m_editA)->setFocus();
        for (int row : selected)
            m_tree->topLevelItem(row)->setSelected(true);
        QSignalSpy triggered(m_bar, &ActionSetToolBar::ActionTriggered);
        Button(id.toUpper())->trigger();
        QCOMPARE(triggered.size(), emitted);
        if (emitted)
            QCOMPARE(triggered.first(), QVariantList({QVariant::fromValue<QWidget*>(m_paneA), id}));
        QCOMPARE(m_bar->GetKey("row"), key);
    }

    // Each widget of a set brings its own texts and hidden buttons; changes reach the buttons at
    // once only for the current widget; a widget moved to another set takes its id's text along.
    void perWidgetTextsAndHiddenButtons()
    {
        Type* markers = d->GetType("widget_action_hidden");
        m_bar->SetWidgetActionText(m_paneA, "a1", "Connect");
        m_bar->SetWidgetActionHidden(m_paneB, "a2", true);
        m_bar->SetWidgetActionHidden(m_paneB, "a2", true);
        QCOMPARE(markers->GetItemCount(), 1u);
        m_editA->setFocus();
        QCOMPARE(Set(), QStringList({"Connect", "A2"}));
        m_editB->setFocus();
        QCOMPARE(Set(), QStringList({"A1", "-A2"}));
        m_bar->SetWidgetActionHidden(m_paneB, "a2", false);
        m_bar->SetWidgetActionHidden(m_paneB, "a1", true);
        m_bar->SetWidgetActionText(m_paneA, "a1", "Disconnect");
        QCOMPARE(Set(), QStringList({"-A1", "-A2"}));
        m_bar->SetWidgetActionHidden(m_paneB, "a1", false);
        QCOMPARE(markers->GetItemCount(), 0u);
        m_bar->RegisterWidget(m_paneA, "b");
        m_editA->setFocus();
        QCOMPARE(Set(), QStringList({"B1", "Disconnect"}));
        // Without a marker, unhiding shows the buttons of the current widget at once.
        Button("Disconnect")->setVisible(false);
        m_bar->SetWidgetActionHidden(m_paneA, "a1", false);
        QCOMPARE(Set(), QStringList({"B1", "Disconnect"}));
        QCOMPARE(markers->GetItemCount(), 0u);
    }

    // Texts changed for a widget whose buttons are gone touch no deleted action; a destroyed
    // widget takes its registration, keys, texts and marks with it.
    void goneButtonsAndWidgets()
    {
        m_editA->setFocus();
        m_outside->setFocus();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_bar->SetWidgetActionText(m_paneA, "a1", "Disconnect");
        m_bar->SetWidgetActionHidden(m_paneA, "a2", true);

        const std::size_t widgets = d->GetType("toolbar_action_widget")->GetItemCount();
        m_bar->AddWidgetKey(m_paneB, "room", "r");
        m_bar->AddWidgetColumnKey(m_paneB, "user", 1);
        m_bar->SetWidgetActionText(m_paneB, "a1", "Only B's");
        m_bar->SetWidgetActionHidden(m_paneB, "a1", true);
        m_editB->setFocus();
        QCOMPARE(Set(), QStringList({"-Only B's", "A2"}));
        delete m_paneB;
        QCOMPARE(Set(), QStringList());
        QCOMPARE(d->GetType("toolbar_action_widget")->GetItemCount(), widgets - 1);
        for (const char* type : {"action_key_value_pair", "action_key_column_pair"})
            QCOMPARE(d->GetType(type)->GetItemCount(), 0u);
        QCOMPARE(d->GetType("widget_action_hidden")->GetItemCount(), 1u);
        QVERIFY(!d->GetType("widget_action_text")->HasItem("Only B's"));
        m_editA->setFocus();
        QCOMPARE(Set(), QStringList({"Disconnect", "-A2"}));
    }
};

QTEST_MAIN(TestActionBar)
#include "test_action_bar.moc"
