#pragma once

#include "Data.h"

#include <QDialog>
#include <QStringList>

#include <memory>

namespace Ui
{
class ItemLogDialog;
}

// The lines logged against one item, in a tab "All", oldest first, kept up to date while open.
// Deletes itself when closed; the caller shows it.
class ItemLogDialog : public QDialog
{
    Q_OBJECT

public:
    ItemLogDialog(ItemPtr i_item, QWidget* ip_parent = nullptr);
    ~ItemLogDialog() override;

    QStringList Lines() const;

private:
    void OnLineRecorded(quint64 i_serial, const QString& i_line);

    std::unique_ptr<Ui::ItemLogDialog> m_ui;
    ItemPtr m_item;
    quint64 m_serial = 0;
};
