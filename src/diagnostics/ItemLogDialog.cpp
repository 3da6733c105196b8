#include "ItemLogDialog.h"

#include "Log.h"
#include "ui_ItemLogDialog.h"

ItemLogDialog::ItemLogDialog(ItemPtr i_item, QWidget* ip_parent)
    : QDialog(ip_parent)
    , m_ui(std::make_unique<Ui::ItemLogDialog>())
    , m_item(std::move(i_item))
    , m_serial(m_item.GetSerial())
{
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(m_item.AsString());
    m_ui->allLog->setMaximumBlockCount(kMaxLogLines);
    for (const QString& line : GetItemLogLines(m_item))
        m_ui->allLog->appendPlainText(line);
    connect(LogNotifier::Instance(), &LogNotifier::ItemLineRecorded, this, &ItemLogDialog::OnLineRecorded);
}

ItemLogDialog::~ItemLogDialog() = default;

QStringList ItemLogDialog::Lines() const
{
    const QString text = m_ui->allLog->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

void ItemLogDialog::OnLineRecorded(quint64 i_serial, const QString& i_line)
{
    if (i_serial == m_serial && m_serial != 0)
        m_ui->allLog->appendPlainText(i_line);
}
