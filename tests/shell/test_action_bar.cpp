#include "ActionSetToolBar.h"
#include "DataFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWidgetAction>
#include <QtTest>

// The context tool bar on its own: sets, registration, the focus walk and the trigger, in a
// window of two registered panes (a: a line edit over a tree of three rows; b: a line edit), a
// tab widget whose pages are registered, and a line edit registered nowhere.
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

    // The bar left to right: [button], 'label', <spacer>, action texts ("-" when hidden).
    QStringList Layout(const ActionSetToolBar* ip_bar = nullptr) const
    {
        QStringList shown;
        for (QAction* action : (ip_bar ? ip_bar : m_bar)->actions())
        {
            auto* widgetAction = qobject_cast<QWidgetAction*>(action);
            QWidget* widget = widgetAction ? widgetAction->defaultWidget() : nullptr;
            if (auto* button = qobject_cast<QPushButton*>(widget))
                shown << '[' + button->text() + ']';
            else if (auto* label = qobject_cast<QLabel*>(widget))
                shown << '\'' + label->text() + '\'';
            else if (widget)
                shown << QStringLiteral("<spacer>");
            else
                shown << (action->isVisible() ? QString() : QStringLiteral("-")) + action->text();
        }
        return shown;
    }

    static QStringList Fixed(const QStringList& i_set)
    {
        return QStringList{"[Away]", "' '"} + i_set + QStringList{"", "<spacer>", "[Support Veltrane!]"};
    }

    QAction* Button(const QString& i_text) const
    {
        for (QAction* action : m_bar->actions())
            if (action->text() == i_text)
                return action;
        return nullptr;
    }

    static void Focus(QWidget* ip_widget)
    {
        ip_widget->setFocus();
        QCOMPARE(QApplication::focusWidget(), ip_widget);
    }

private slots:
    void init()
    {
        m_store.Begin();
        DeclareSettingTypes(d);
        SetSetting(QStringLiteral("availability_status"), QStringLiteral("away"));
        m_window = std::make_unique<QMainWindow>();
        m_bar = new ActionSetToolBar(m_window.get());
        m_window->addToolBar(m_bar);
        auto* central = new QWidget;
        auto* layout = new QVBoxLayout(central);
        m_paneA = new QWidget;
        auto* paneLayout = new QVBoxLayout(m_paneA);
        paneLayout->addWidget(m_editA = new QLineEdit);
        paneLayout->addWidget(m_tree = new QTreeWidget);
        m_tree->setColumnCount(2);
        m_tree->setSelectionMode(QAbstractItemView::MultiSelection);
        for (const char* row : {"r0", "r1", "r2"})
            m_tree->addTopLevelItem(new QTreeWidgetItem({row, QStringLiteral("user of ") + row}));
        layout->addWidget(m_paneA);
        m_paneB = new QWidget;
        (new QVBoxLayout(m_paneB))->addWidget(m_editB = new QLineEdit);
        layout->addWidget(m_paneB);
        m_tabs = new QTabWidget;
        m_tabs->addTab(new QLineEdit, QStringLiteral("first"));
        m_tabs->addTab(new QLineEdit, QStringLiteral("second"));
        layout->addWidget(m_tabs);
        layout->addWidget(m_outside = new QLineEdit);
        m_window->setCentralWidget(central);

        m_bar->Init();
        m_bar->AddSetAction("a", "a1", "A1", ":/icons/room_icon", false);
        m_bar->AddSetAction("b", "b1", "B1", ":/icons/room_icon", false);
        m_bar->AddSetAction("a", "a2", "A2", ":/icons/room_icon", true);
        m_bar->AddSetAction("b", "a1", "B's A1", ":/icons/room_icon", false);
        m_bar->RegisterWidget(m_paneA, "a");
        m_bar->RegisterWidget(m_paneB, "a");
        m_bar->RegisterWidget(m_tabs->widget(0), "a");
        m_bar->RegisterWidget(m_tabs->widget(1), "b");
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        Focus(m_outside);
    }

    void cleanup()
    {
        m_window.reset();
        m_store.End();
    }

    // Order across sets, moving a widget to another set, the fixed widgets, tabs standing for
    // their current page.
    void setsFollowTheFocus()
    {
        const ActionSetToolBar unused;
        QCOMPARE(Layout(&unused), QStringList({"", "<spacer>", "[Support Veltrane!]"}));
        Focus(m_editA);
        QCOMPARE(Layout(), Fixed({"A1", "A2"}));
        Focus(m_outside);
        QCOMPARE(Layout(), Fixed({}));
        m_tabs->setCurrentIndex(1);
        Focus(m_tabs->tabBar());
        QCOMPARE(Layout(), Fixed({"B1", "B's A1"}));
        m_bar->RegisterWidget(m_paneB, "b");
        Focus(m_editB);
        QCOMPARE(Layout(), Fixed({"B1", "B's A1"}));
        QCOMPARE(m_bar->GetKey("never filled"), QString());
    }

    // A focus move inside one widget keeps its buttons and copies its constant keys again.
    void refocusCopiesKeysWithoutRebuild()
    {
        m_bar->AddWidgetKey(m_paneA, "user", "constant");
        m_bar->AddWidgetColumnKey(m_paneA, "user", 1);
        Focus(m_editA);
        QCOMPARE(m_bar->GetKey("user"), QStringLiteral("constant"));
        const QList<QAction*> before = m_bar->actions();
        Focus(m_tree);
        m_tree->topLevelItem(1)->setSelected(true);
        Button("A1")->trigger();
        QCOMPARE(m_bar->GetKey("user"), QStringLiteral("user of r1"));
        Focus(m_editA);
        QCOMPARE(m_bar->actions(), before);
        QCOMPARE(m_bar->GetKey("user"), QStringLiteral("constant"));
    }

    void trigger_data()
    {
        QTest::addColumn<bool>("inTree");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("emitted");
        QTest::addColumn<QString>("key");
        QTest::newRow("three rows, first as selected") << true << QList<int>{2, 0, 1} << "A2" << 1 << "r2";
        QTest::newRow("no row, needs one") << true << QList<int>{} << "A2" << 0 << "earlier";
        QTest::newRow("no row, needs none") << true << QList<int>{} << "A1" << 1 << "earlier";
        QTest::newRow("line edit of the pane") << false << QList<int>{1} << "A2" << 1 << "earlier";
    }

    void trigger()
    {
        QFETCH(bool, inTree);
        QFETCH(QList<int>, selected);
        QFETCH(QString, button);
        QFETCH(int, emitted);
        QFETCH(QString, key);
        m_bar->AddWidgetColumnKey(m_paneA, "row", 0);
        m_bar->AddWidgetKey(m_paneA, "row", "earlier");
        Focus(inTree ? static_cast<QWidget*>(m_tree) : m_editA);
        for (int row : selected)
            m_tree->topLevelItem(row)->setSelected(true);
        QSignalSpy triggered(m_bar, &ActionSetToolBar::ActionTriggered);
        Button(button)->trigger();
        QCOMPARE(triggered.size(), emitted);
        if (emitted)
            QCOMPARE(triggered.first(), QVariantList({QVariant::fromValue<QWidget*>(m_paneA), button.toLower()}));
        QCOMPARE(m_bar->GetKey("row"), key);
    }

    // Each widget of a set brings its own texts and hidden buttons; changes reach the shown
    // buttons at once only for the current widget.
    void perWidgetTextsAndHiddenButtons()
    {
        m_bar->SetWidgetActionText(m_paneA, "a1", "Connect");
        m_bar->SetWidgetActionHidden(m_paneB, "a2", true);
        m_bar->SetWidgetActionHidden(m_paneB, "a2", true);
        QCOMPARE(d->GetType("widget_action_hidden")->GetItemCount(), 1u);
        Focus(m_editA);
        QCOMPARE(Layout(), Fixed({"Connect", "A2"}));
        Focus(m_editB);
        QCOMPARE(Layout(), Fixed({"A1", "-A2"}));
        m_bar->SetWidgetActionHidden(m_paneB, "a2", false);
        QCOMPARE(Layout(), Fixed({"A1", "-A2"}));
        m_bar->SetWidgetActionHidden(m_paneB, "a1", true);
        m_bar->SetWidgetActionText(m_paneA, "a1", "Disconnect");
        QCOMPARE(Layout(), Fixed({"-A1", "-A2"}));
        m_bar->SetWidgetActionHidden(m_paneB, "a1", false);
        QCOMPARE(d->GetType("widget_action_hidden")->GetItemCount(), 0u);
        Focus(m_editA);
        QCOMPARE(Layout(), Fixed({"Disconnect", "A2"}));
        // The same id in another set takes the widget's text too.
        m_bar->RegisterWidget(m_paneA, "b");
        Focus(m_outside);
        Focus(m_editA);
        QCOMPARE(Layout(), Fixed({"B1", "Disconnect"}));
        // Without a marker, unhiding shows the buttons of the current widget at once.
        Button("Disconnect")->setVisible(false);
        m_bar->SetWidgetActionHidden(m_paneA, "a1", false);
        QCOMPARE(Layout(), Fixed({"B1", "Disconnect"}));
        QCOMPARE(d->GetType("widget_action_hidden")->GetItemCount(), 0u);
    }

    // Changing the texts of a widget whose buttons are gone touches no deleted action; a
    // destroyed widget takes its registration, keys, texts and marks with it.
    void goneButtonsAndWidgets()
    {
        Focus(m_editA);
        Focus(m_outside);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_bar->SetWidgetActionText(m_paneA, "a1", "Disconnect");
        m_bar->SetWidgetActionHidden(m_paneA, "a2", true);

        const std::size_t widgets = d->GetType("toolbar_action_widget")->GetItemCount();
        m_bar->AddWidgetKey(m_paneB, "room", "r");
        m_bar->AddWidgetColumnKey(m_paneB, "user", 1);
        m_bar->SetWidgetActionText(m_paneB, "a1", "Only B's");
        m_bar->SetWidgetActionHidden(m_paneB, "a1", true);
        Focus(m_editB);
        QCOMPARE(Layout(), Fixed({"-Only B's", "A2"}));
        delete m_paneB;
        QCOMPARE(Layout(), Fixed({}));
        QCOMPARE(d->GetType("toolbar_action_widget")->GetItemCount(), widgets - 1);
        QCOMPARE(d->GetType("action_key_value_pair")->GetItemCount(), 0u);
        QCOMPARE(d->GetType("action_key_column_pair")->GetItemCount(), 0u);
        QCOMPARE(d->GetType("widget_action_hidden")->GetItemCount(), 1u);
        QVERIFY(!d->GetType("widget_action_text")->HasItem("Only B's"));
        Focus(m_editA);
        QCOMPARE(Layout(), Fixed({"Disconnect", "-A2"}));
    }
};

QTEST_MAIN(TestActionBar)
#include "test_action_bar.moc"
