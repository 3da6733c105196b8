#pragma once

#include "Data.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>

class QDateTime;

// The one logging function: area, level (1 = top), text, and optionally the item it concerns.
// Safe at any time: before the diagnostics window or the settings exist the line is kept until
// a window takes it; from another thread it is passed to the GUI thread.
void Log(const QString& i_area, int i_level, const QString& i_text, ItemPtr i_item = ItemPtr());

// Lines kept per diagnostics tab, per item and per area while no window exists.
constexpr int kMaxLogLines = 5000;

// "[yyyy-MM-dd hh:mm:ss] " followed by three blanks per level above 1 and the text.
QString FormatLogLine(const QDateTime& i_when, int i_level, const QString& i_text);
// The area as a file name: separators and other unsafe characters become "_".
QString LogFileNameForArea(const QString& i_area);
// home + "/Veltrane Logs/"
QString LogFolder();

// The diagnostics window registers the sink that shows lines; setting one hands it every line
// kept so far, in order. Set an empty function to unregister.
using LogSink = std::function<void(const QString& i_area, const QString& i_line)>;
void SetLogSink(LogSink i_sink);

// Items of registered types carry the lines logged against them while user-level logging is on.
void RegisterLoggableItemType(const std::string& i_type);
bool IsLoggableItemType(const std::string& i_type);
QStringList GetItemLogLines(const ItemPtr& i_item);
void ClearItemLogRecords();

// Announces lines recorded against items, for windows that follow an item's log.
class LogNotifier : public QObject
{
    Q_OBJECT

public:
    static LogNotifier* Instance();

signals:
    // i_serial is the item's GetSerial().
    void ItemLineRecorded(quint64 i_serial, QString i_line);
};
