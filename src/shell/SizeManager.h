#pragma once

#include "Data.h"

#include <QList>
#include <QObject>
#include <QString>

class QSplitter;
class QTreeWidget;
class ResizableWindow;

// The memory of window geometry, splitter pane sizes and column widths (global `sizeManager`),
// kept under a name in the data file. A widget is registered once, after it has its columns or
// panes (and, for a splitter, after the caller applied sizes of its own): the sizes stored under
// the name are applied, or, the first time, the present ones stored. From then on every change
// is stored at once, and copied to every other widget registered under the same name (the user
// list of each room tab, the results list of each search tab):
//   sizeManager->RegisterTreeWidget("search_results", ui->resultsTree);
//   sizeManager->RegisterSplitter("wish_list_splitter", ui->splitter, ui->splitter->sizes());
// A destroyed splitter or tree is forgotten; its name keeps the sizes for the next one.
class SizeManager : public QObject
{
    Q_OBJECT

public:
    // Needs the store and the data-file saver, before the data file is loaded.
    explicit SizeManager(QObject* ip_parent = nullptr);
    ~SizeManager() override;

    void RegisterResizableWindow(const QString& i_name, ResizableWindow* ip_window);
    // With nothing stored, the default sizes (when given) are stored but not applied.
    void RegisterSplitter(const QString& i_name, QSplitter* ip_splitter, const QList<int>& i_defaultSizes);
    // A last column that stretches is never stored.
    void RegisterTreeWidget(const QString& i_name, QTreeWidget* ip_tree);
    // Drops what is stored under the name.
    void ForgetTreeWidget(const QString& i_name);

public slots:
    void OnWindowMoved(int i_x, int i_y);
    void OnWindowResized(int i_width, int i_height);
    void OnSplitterMoved(int i_position, int i_index);
    void OnSplitterDestroyed(QObject* ip_splitter);
    void OnTreeColumnResizedMoved(int, int, int);
    void OnTreeDestroyed(QObject* ip_tree);

private:
    void StoreWindowPair(const char* i_firstType, int i_first, const char* i_secondType, int i_second);

    bool m_busy = false;
};

extern SizeManager* sizeManager;
