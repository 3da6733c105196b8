#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QSplitter;
class QTreeWidget;
class ResizableWindow;

// The memory of window geometry, splitter sizes and column widths. For now it only
// notes what was registered; remembering sizes across runs comes with the window work.
class SizeManager : public QObject
{
    Q_OBJECT

public:
    explicit SizeManager(QObject* ip_parent = nullptr);
    ~SizeManager() override;

    void RegisterResizableWindow(const QString& i_name, ResizableWindow* ip_window);
    void RegisterSplitter(const QString& i_name, QSplitter* ip_splitter, const QList<int>& i_defaultSizes);
    void RegisterTreeWidget(const QString& i_name, QTreeWidget* ip_tree);

    QStringList RegisteredNames() const { return m_names; }

private:
    QStringList m_names;
};

extern SizeManager* sizeManager;
