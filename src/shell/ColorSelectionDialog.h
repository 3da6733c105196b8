#pragma once

#include <QColor>
#include <QDialog>
#include <QPalette>

#include <memory>

class QLineEdit;

namespace Ui
{
class ColorSelectionDialog;
}

// The fourteen colours of the client: six of the application palette, three of chat lines and
// five of transfer rows. Choices stay in the dialog's swatches until "Save Colors" stores and
// applies them all. Deletes itself when closed; several may be open at once.
class ColorSelectionDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ColorSelectionDialog(QWidget* ip_parent);
    ~ColorSelectionDialog() override;

    // The colour a swatch shows.
    static QColor SwatchColor(const QLineEdit* ip_swatch);

    // The settings' keys in the dialog's order, the six palette colours first.
    static const char* const kKeys[14];

public slots:
    void OnChangeWindowBackground();
    void OnChangeWindowText();
    void OnChangeInputBackground();
    void OnChangeInputText();
    void OnChangeButtonBackground();
    void OnChangeButtonText();
    void OnChangeChatUsername();
    void OnChangeChatTimestamp();
    void OnChangeChatStatus();
    void OnChangeTransferQueued();
    void OnChangeTransferInProgress();
    void OnChangeTransferComplete();
    void OnChangeTransferFailed();
    void OnChangeTransferOther();
    void OnResetToDefaults();
    void OnSaveColors();

private:
    QLineEdit* Swatch(int i_index) const;
    void Change(int i_index);

    std::unique_ptr<Ui::ColorSelectionDialog> ui;
};

extern ColorSelectionDialog* colorSelectionDialog;
