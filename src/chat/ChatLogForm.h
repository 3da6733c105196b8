#pragma once

#include "ChatLog.h"

#include <QString>
#include <QWidget>

namespace Ui
{
class ChatLogForm;
}

class QTabWidget;

// The viewer of one chat log file: its lines as plain paragraphs, new lines as they are logged, a
// search line with back and forward buttons, and the tool bar's "chat_log" actions (clear the log,
// open its folder). While it is open, the room or user whose log it shows holds a `chat_log_form`
// item whose value is the viewer's address; the viewer removes that item when it goes.
class ChatLogForm : public QWidget
{
    Q_OBJECT

public:
    // Reads the file. A file that cannot be read gives an empty viewer without tool-bar actions.
    ChatLogForm(const QString& i_path, QWidget* ip_parent);
    ~ChatLogForm() override;

    // The open viewer of the room's or user's log, brought forward; else a new one as the last tab
    // of ip_tabs, named after the room or user, linked to it and brought forward.
    static ChatLogForm* Open(QTabWidget* ip_tabs, ItemPtr io_owner, ChatLogKind i_kind);

    // Appends one line, trimmed, as it is logged while the viewer is open.
    void AddLine(const QString& i_line);

    // The file shown; "" when it could not be read at the start.
    QString Path() const { return m_path; }

public slots:
    void OnSearchTextChanged(QString i_text);
    void OnSearchBack();
    void OnSearchForward();
    void OnActionTriggered(QWidget* ip_widget, QString i_action);

private:
    void Load(const QString& i_path);
    void AppendParagraph(const QString& i_text);
    // One press of the back or forward button.
    void Step(bool i_forward);
    // The cursor selects a match: marks it, sets the buttons and scrolls it into sight.
    void MarkFind();
    void MarkSearchButtons();
    void RemoveMark();
    void ClearLog();

    Ui::ChatLogForm* ui;
    QString m_path;
    // The view's first paragraph is in use (an empty document has one paragraph, unused).
    bool m_hasLines = false;
};
