#pragma once

#include <QObject>

// What the size memory needs of a window to restore and follow its geometry.
class ResizableWindow : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual int GetX() = 0;
    virtual int GetY() = 0;
    virtual int GetWidth() = 0;
    virtual int GetHeight() = 0;
    virtual void SetPosition(int i_x, int i_y) = 0;
    virtual void SetSize(int i_width, int i_height) = 0;

signals:
    void WindowResized(int i_width, int i_height);
    void WindowMoved(int i_x, int i_y);
};
