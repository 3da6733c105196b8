#include "DataFixture.h"
#include "ResizableWindow.h"
#include "SizeManager.h"

#include <QDir>
#include <QHeaderView>
#include <QSplitter>
#include <QTreeWidget>
#include <QtTest>

namespace
{
// A window as the size memory sees it, noting the calls it gets.
class FakeWindow : public ResizableWindow
{
public:
    int GetX() override { return m_geometry.x(); }
    int GetY() override { return m_geometry.y(); }
    int GetWidth() override { return m_geometry.width(); }
    int GetHeight() override { return m_geometry.height(); }
    void SetPosition(int i_x, int i_y) override { m_calls << QStringLiteral("position %1 %2").arg(i_x).arg(i_y); }
    void SetSize(int i_width, int i_height) override
    {
        m_calls << QStringLiteral("size %1 %2").arg(i_width).arg(i_height);
    }

    QRect m_geometry{10, 20, 800, 600};
    QStringList m_calls;
};

// Two panes; moveSplitter stands for a drag of the handle.
class Splitter : public QSplitter
{
public:
    explicit Splitter(const QList<int>& i_sizes = {100, 300})
    {
        addWidget(new QWidget);
        addWidget(new QWidget);
        resize(400, 100);
        setSizes(i_sizes);
    }
    using QSplitter::moveSplitter;
};

// Three columns 50, 51 and 52 wide; the last stretches unless told otherwise.
std::unique_ptr<QTreeWidget> NewTree(bool i_stretch = true)
{
    auto tree = std::make_unique<QTreeWidget>();
    tree->setColumnCount(3);
    tree->header()->setStretchLastSection(i_stretch);
    for (int column = 0; column < 3; ++column)
        tree->header()->resizeSection(column, 50 + column);
    return tree;
}

QList<int> Widths(const std::unique_ptr<QTreeWidget>& i_tree)
{
    return {i_tree->header()->sectionSize(0), i_tree->header()->sectionSize(1)};
}
} // namespace

// Window, splitter and column sizes kept under a name across a restart, through the data file,
// and shared by every widget of a name.
class TestSizeMemory : public QObject
{
    Q_OBJECT

private:
    DataFixture m_store;
    std::unique_ptr<SizeManager> m_sizes;

    void Begin()
    {
        m_sizes.reset();
        m_store.Begin();
        m_sizes = std::make_unique<SizeManager>();
    }

    static std::size_t Count(const char* i_type) { return d->GetType(i_type)->GetItemCount(); }

private slots:
    void init() { Begin(); }

    void cleanup()
    {
        m_sizes.reset();
        m_store.End();
    }

    // The first run stores what it finds (splitter defaults stored, not applied; a stretched last
    // column left out); the next run gets it back, the window's position before its size.
    void restartRestores()
    {
        const QString file = QDir::home().filePath(QStringLiteral("sizes.data"));
        {
            FakeWindow window;
            Splitter splitter;
            const QList<int> shown = splitter.sizes();
            auto tree = NewTree();
            m_sizes->RegisterResizableWindow("main_window", &window);
            m_sizes->RegisterSplitter("wish_list_splitter", &splitter, {150, 250});
            m_sizes->RegisterTreeWidget("user_list", tree.get());
            QVERIFY(window.m_calls.isEmpty());
            QCOMPARE(splitter.sizes(), shown);
            QCOMPARE(Count("sizer_tree_column"), 2u);
            window.m_geometry = {-5, 0, 900, 700};
            emit window.WindowMoved(-5, 0);
            emit window.WindowResized(900, 700);
            tree->header()->resizeSection(1, 90);
            QVERIFY(dataSaver->SaveFile(file));
        }
        Begin();
        dataSaver->Load(file);
        FakeWindow window;
        Splitter splitter;
        auto tree = NewTree();
        m_sizes->RegisterResizableWindow("main_window", &window);
        m_sizes->RegisterSplitter("wish_list_splitter", &splitter, {});
        m_sizes->RegisterTreeWidget("user_list", tree.get());
        QCOMPARE(window.m_calls, QStringList({"position -5 0", "size 900 700"}));
        QCOMPARE(splitter.sizes(), Splitter({150, 250}).sizes());
        QCOMPARE(Widths(tree), QList<int>({50, 90}));
    }

    void brokenWindowGeometry_data()
    {
        QTest::addColumn<QString>("width");
        QTest::newRow("no width") << "";
        QTest::newRow("not a number") << "wide";
        QTest::newRow("zero") << "0";
    }

    // A stored geometry with a part missing would collapse the window: it is stored anew.
    void brokenWindowGeometry()
    {
        QFETCH(QString, width);
        ItemPtr stored = d->GetType("sizer_window")->GetItem("main_window");
        stored += d->GetType("sizer_x")->GetItem("0");
        stored += d->GetType("sizer_y")->GetItem("-20");
        stored += d->GetType("sizer_height")->GetItem("500");
        if (!width.isEmpty())
            stored += d->GetType("sizer_width")->GetItem(width);
        FakeWindow window;
        m_sizes->RegisterResizableWindow("main_window", &window);
        QVERIFY(window.m_calls.isEmpty());
        QCOMPARE(stored["sizer_width"].AsString() + ' ' + stored["sizer_height"].AsString(), QStringLiteral("800 600"));
    }

    // Every widget of a name follows a drag, without a loop; equal widths share one value item;
    // dragging does not grow the store; a destroyed tree takes only its own registration.
    void widgetsOfOneName()
    {
        auto first = NewTree(false);
        auto second = NewTree(false);
        m_sizes->RegisterTreeWidget("room_user_list", first.get());
        m_sizes->RegisterTreeWidget("room_user_list", second.get());
        QSignalSpy followed(second->header(), &QHeaderView::sectionResized);
        first->header()->resizeSection(0, 51);
        QCOMPARE(Widths(second), QList<int>({51, 51}));
        QCOMPARE(followed.size(), 1);
        QCOMPARE(Count("sizer_size"), 2u);
        first->header()->resizeSection(0, 60);
        const std::size_t items = d->GetItemCount();
        for (int width = 61; width < 160; ++width)
            first->header()->resizeSection(0, width);
        QCOMPARE(d->GetItemCount(), items);
        QVERIFY(d->GetType("sizer_size")->HasItem("51"));
        first.reset();
        QCOMPARE(Count("sizer_tree_widget"), 1u);
        auto third = NewTree(false);
        m_sizes->RegisterTreeWidget("room_user_list", third.get());
        QCOMPARE(Widths(third), QList<int>({159, 51}));

        Splitter left;
        Splitter right({200, 200});
        m_sizes->RegisterSplitter("room_splitter", &left, {});
        m_sizes->RegisterSplitter("room_splitter", &right, {});
        QCOMPARE(right.sizes(), left.sizes());
        left.moveSplitter(250, 1);
        QCOMPARE(right.sizes(), left.sizes());
        QVERIFY(d->GetType("sizer_size")->HasItem(QString::number(left.sizes().at(0))));
    }
};

QTEST_MAIN(TestSizeMemory)
#include "test_size_memory.moc"
