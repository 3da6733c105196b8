// The main window as the size memory sees it. A maximized window reports nothing, so the
// remembered geometry stays that of the normal window.
#include "MainWindow.h"

#include <QMoveEvent>
#include <QResizeEvent>

int MainWindow::SizeProxy::GetX()
{
    return mainWindow->geometry().x();
}

int MainWindow::SizeProxy::GetY()
{
    return mainWindow->geometry().y();
}

int MainWindow::SizeProxy::GetWidth()
{
    return mainWindow->geometry().width();
}

int MainWindow::SizeProxy::GetHeight()
{
    return mainWindow->geometry().height();
}

void MainWindow::SizeProxy::SetPosition(int i_x, int i_y)
{
    const QRect current = mainWindow->geometry();
    mainWindow->setGeometry(i_x, i_y, current.width(), current.height());
}

void MainWindow::SizeProxy::SetSize(int i_width, int i_height)
{
    const QRect current = mainWindow->geometry();
    mainWindow->setGeometry(current.x(), current.y(), i_width, i_height);
}

void MainWindow::resizeEvent(QResizeEvent* ip_event)
{
    QMainWindow::resizeEvent(ip_event);
    if (!isMaximized())
        emit sizeProxy.WindowResized(ip_event->size().width(), ip_event->size().height());
}

void MainWindow::moveEvent(QMoveEvent* ip_event)
{
    QMainWindow::moveEvent(ip_event);
    if (!isMaximized())
        emit sizeProxy.WindowMoved(ip_event->pos().x(), ip_event->pos().y());
}
