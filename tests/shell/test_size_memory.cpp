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
    void SetPosition(int i_x, int i_y) override
    {
        m_calls << QStringLiteral("position %1 %2").arg(i_x).arg(i_y);
        m_geometry.moveTo(i_x, i_y);
    }
    void SetSize(int i_width, int i_height) override
    {
        m_calls << QStringLiteral("size %1 %2").arg(i_width).arg(i_height);
        m_geometry.setSize({i_width, i_height});
    }

    QRect m_geometry{10, 20, 800, 600};
    QStringList m_calls;
};

class Splitter : public QSplitter
{
public:
    Splitter()
    {
        addWidget(new QWidget);
        addWidget(new QWidget);
        resize(400, 100);
        setSizes({100, 300});
    }
    using QSplitter::moveSplitter;
};

QTreeWidget* NewTree()
{
    auto* tree = new QTreeWidget;
    tree->setColumnCount(3);
    for (int column = 0; column < 3; ++column)
        tree->header()->resizeSection(column, 50 + column);
    return tree;
}

QList<int> Widths(QTreeWidget* ip_tree)
{
    return {ip_tree->header()->sectionSize(0), ip_tree->header()->sectionSize(1)};
}
} // namespace

// Window, splitter and column sizes stored under a name, kept across a restart through the data
// file, and shared by every widget of a name.
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

    // The first run stores what it finds (defaults stored, not applied; a stretched last column
    // left out); the next run gets it back from the file, the window's position before its size.
    void restartRestores()
    {
        const QString file = QDir::home().filePath(QStringLiteral("sizes.data"));
        {
            FakeWindow window;
            Splitter splitter;
            std::unique_ptr<QTreeWidget> tree(NewTree());
            const QList<int> before = splitter.sizes();
            m_sizes->RegisterResizableWindow("main_window", &window);
            m_sizes->RegisterSplitter("wish_list_splitter", &splitter, {150, 250});
            m_sizes->RegisterTreeWidget("user_list", tree.get());
            QVERIFY(window.m_calls.isEmpty());
            QCOMPARE(splitter.sizes(), before);
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
        std::unique_ptr<QTreeWidget> tree(NewTree());
        m_sizes->RegisterResizableWindow("main_window", &window);
        m_sizes->RegisterSplitter("wish_list_splitter", &splitter, {});
        m_sizes->RegisterTreeWidget("user_list", tree.get());
        QCOMPARE(window.m_calls, QStringList({"position -5 0", "size 900 700"}));
        Splitter reference;
        reference.setSizes({150, 250});
        QCOMPARE(splitter.sizes(), reference.sizes());
        QCOMPARE(Widths(tree.get()), QList<int>({50, 90}));
    }

    void brokenWindowGeometry_data()
    {
        QTest::addColumn<QString>("width");
        QTest::addColumn<QString>("height");
        QTest::newRow("no width") << ""
                                  << "600";
        QTest::newRow("height not a number") << "700"
                                             << "tall";
        QTest::newRow("zero width") << "0"
                                    << "600";
    }

    // A stored geometry with a part missing would collapse the window: it is stored anew.
    void brokenWindowGeometry()
    {
        QFETCH(QString, width);
        QFETCH(QString, height);
        ItemPtr stored = d->GetType("sizer_window")->GetItem("main_window");
        stored += d->GetType("sizer_x")->GetItem("0");
        stored += d->GetType("sizer_y")->GetItem("-20");
        if (!width.isEmpty())
            stored += d->GetType("sizer_width")->GetItem(width);
        stored += d->GetType("sizer_height")->GetItem(height);
        FakeWindow window;
        m_sizes->RegisterResizableWindow("main_window", &window);
        QVERIFY(window.m_calls.isEmpty());
        QCOMPARE(stored["sizer_width"].AsString(), QStringLiteral("800"));
        QCOMPARE(stored["sizer_height"].AsString(), QStringLiteral("600"));
    }

    // Every tree of a name follows a resize, without a loop; equal widths share one value item,
    // and dragging does not grow the store.
    void treesOfOneName()
    {
        std::unique_ptr<QTreeWidget> first(NewTree());
        std::unique_ptr<QTreeWidget> second(NewTree());
        first->header()->setStretchLastSection(false);
        second->header()->setStretchLastSection(false);
        m_sizes->RegisterTreeWidget("room_user_list", first.get());
        m_sizes->RegisterTreeWidget("room_user_list", second.get());
        QSignalSpy followed(second->header(), &QHeaderView::sectionResized);
        first->header()->resizeSection(0, 51);
        QCOMPARE(Widths(second.get()), QList<int>({51, 51}));
        QCOMPARE(followed.size(), 1);
        QCOMPARE(Count("sizer_size"), 2u);

        first->header()->resizeSection(0, 60);
        const std::size_t items = d->GetItemCount();
        for (int width = 61; width < 160; ++width)
            first->header()->resizeSection(0, width);
        QCOMPARE(d->GetItemCount(), items);
        QVERIFY(d->GetType("sizer_size")->HasItem("51"));

        // A destroyed tree takes only its own registration; the next one gets the sizes.
        first.reset();
        QCOMPARE(Count("sizer_tree_widget"), 1u);
        std::unique_ptr<QTreeWidget> third(NewTree());
        m_sizes->RegisterTreeWidget("room_user_list", third.get());
        QCOMPARE(Widths(third.get()), QList<int>({159, 51}));
    }

    void splittersOfOneName()
    {
        Splitter first;
        Splitter second;
        const QList<int> stored = first.sizes();
        second.setSizes({200, 200});
        m_sizes->RegisterSplitter("room_splitter", &first, {});
        m_sizes->RegisterSplitter("room_splitter", &second, {});
        QCOMPARE(second.sizes(), stored);
        first.moveSplitter(250, 1);
        QCOMPARE(second.sizes(), first.sizes());
        QCOMPARE(Count("sizer_splitter_index"), 2u);
        QVERIFY(d->GetType("sizer_size")->HasItem(QString::number(first.sizes().at(0))));
    }
};

QTEST_MAIN(TestSizeMemory)
#include "test_size_memory.moc"
