#include "ChatLogForm.h"

#include <QTextEdit>
#include <QVBoxLayout>

ChatLogForm::ChatLogForm(const QString&, QWidget* ip_parent)
    : QWidget(ip_parent)
    , mp_logEdit(new QTextEdit(this))
{
    mp_logEdit->setObjectName(QStringLiteral("logEdit"));
    mp_logEdit->setReadOnly(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(mp_logEdit);
}

ChatLogForm::~ChatLogForm() = default;

void ChatLogForm::AddLine(const QString& i_line)
{
    mp_logEdit->append(i_line.trimmed());
}
