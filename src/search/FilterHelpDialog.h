#pragma once

#include <QDialog>

namespace Ui
{
class FilterHelpDialog;
}

// Explains the filter language. One instance at a time for every tree that filters; it goes
// when closed or with the page that opened it.
class FilterHelpDialog : public QDialog
{
    Q_OBJECT

public:
    explicit FilterHelpDialog(QWidget* ip_parent = nullptr);
    ~FilterHelpDialog() override;

    // Shows the open dialog, or a new one parented to the requester when none is open.
    static FilterHelpDialog* ShowHelp(QWidget* ip_requester);

private:
    Ui::FilterHelpDialog* ui;
};

extern FilterHelpDialog* filterHelpDialog;
