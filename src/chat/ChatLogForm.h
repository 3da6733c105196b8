#pragma once

#include <QWidget>

class QTextEdit;

// The viewer of one chat log file.
class ChatLogForm : public QWidget
{
    Q_OBJECT

public:
    ChatLogForm(const QString& i_path, QWidget* ip_parent);
    ~ChatLogForm() override;

    // Appends one line, trimmed, as it is logged while the viewer is open.
    void AddLine(const QString& i_line);

private:
    QTextEdit* mp_logEdit;
};
