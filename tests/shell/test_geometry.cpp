#include "MainWindow.h"

#include <QMoveEvent>
#include <QResizeEvent>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

// The main window's geometry as the size memory sees it: a maximized window reports nothing,
// and each setter keeps the other half of the geometry.
class TestGeometry : public QObject
{
    Q_OBJECT

private slots:
    void normalGeometryOnly()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindow::SizeProxy* proxy = window.GetSizeProxy();
        const auto geometry = [proxy] {
            return QRect(proxy->GetX(), proxy->GetY(), proxy->GetWidth(), proxy->GetHeight());
        };
        proxy->SetSize(1100, 800);
        proxy->SetPosition(40, 60);
        QCOMPARE(geometry(), QRect(40, 60, 1100, 800));
        proxy->SetSize(1000, 700);
        QCOMPARE(geometry(), QRect(40, 60, 1000, 700));

        QSignalSpy resized(proxy, &ResizableWindow::WindowResized);
        QSignalSpy moved(proxy, &ResizableWindow::WindowMoved);
        window.resize(1010, 710);
        QTRY_VERIFY(!resized.isEmpty());
        QCOMPARE(resized.last(), QVariantList({1010, 710}));
        window.move(30, 50);
        QTRY_VERIFY(!moved.isEmpty());
        QCOMPARE(moved.last(), QVariantList({30, 50}));

        // The maximizing itself and any later change while maximized go unreported.
        resized.clear();
        moved.clear();
        window.showMaximized();
        QVERIFY(window.isMaximized());
        QResizeEvent resize(QSize(1200, 900), window.size());
        QApplication::sendEvent(&window, &resize);
        QMoveEvent move(QPoint(5, 5), window.pos());
        QApplication::sendEvent(&window, &move);
        QTRY_VERIFY(window.size() != QSize(1010, 710));
        QApplication::processEvents();
        QVERIFY(resized.isEmpty());
        QVERIFY(moved.isEmpty());

        window.showNormal();
        QApplication::sendEvent(&window, &resize);
        QCOMPARE(resized.last(), QVariantList({1200, 900}));
    }
};

QTEST_MAIN(TestGeometry)
#include "test_geometry.moc"
