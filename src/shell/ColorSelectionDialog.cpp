#include "ColorSelectionDialog.h"

#include "Data.h"
#include "MainWindow.h"
#include "ShellSchema.h"
#include "StartupPrompts.h"
#include "TransfersForm.h"
#include "ui_ColorSelectionDialog.h"

#include <QApplication>

ColorSelectionDialog* colorSelectionDialog = nullptr;

namespace
{
constexpr int kPaletteColours = 6;

const QPalette::ColorRole kRoles[kPaletteColours] = {QPalette::Window, QPalette::WindowText, QPalette::Base,
                                                     QPalette::Text,   QPalette::Button,     QPalette::ButtonText};

// The defaults of the colours that are not the palette's, in the dialog's order.
const QColor kFixedDefaults[14 - kPaletteColours] = {QColor(0, 51, 255),   QColor(0, 102, 255), QColor(51, 153, 51),
                                                     QColor(51, 102, 255), QColor(0, 0, 255),   QColor(0, 100, 0),
                                                     QColor(255, 10, 71),  QColor(0, 0, 0)};

void Paint(QLineEdit* ip_swatch, const QColor& i_colour)
{
    QPalette palette = ip_swatch->palette();
    palette.setColor(QPalette::All, QPalette::Base, i_colour);
    ip_swatch->setPalette(palette);
}

// The colour a stored setting names, or the fallback when it names none.
QColor StoredColor(const char* i_key, const QColor& i_fallback)
{
    const QColor stored(GetSetting(QString::fromLatin1(i_key)));
    return stored.isValid() ? stored : i_fallback;
}
} // namespace

const char* const ColorSelectionDialog::kKeys[14] = {
    settings::kColorWindowBackground, settings::kColorWindowText,         settings::kColorInputBackground,
    settings::kColorInputText,        settings::kColorButtonBackground,   settings::kColorButtonText,
    settings::kColorChatUsername,     settings::kColorChatTimestamp,      settings::kColorChatStatus,
    settings::kColorTransferQueued,   settings::kColorTransferInProgress, settings::kColorTransferComplete,
    settings::kColorTransferFailed,   settings::kColorTransferOther};

ColorSelectionDialog::ColorSelectionDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(std::make_unique<Ui::ColorSelectionDialog>())
{
    colorSelectionDialog = this;
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);

    const QPalette current = QApplication::palette();
    for (int index = 0; index < kPaletteColours; ++index)
        Paint(Swatch(index), current.color(kRoles[index]));
    for (int index = kPaletteColours; index < 14; ++index)
        Paint(Swatch(index), StoredColor(kKeys[index], kFixedDefaults[index - kPaletteColours]));

    const std::pair<QPushButton*, void (ColorSelectionDialog::*)()> buttons[] = {
        {ui->windowBackgroundButton, &ColorSelectionDialog::OnChangeWindowBackground},
        {ui->windowTextButton, &ColorSelectionDialog::OnChangeWindowText},
        {ui->inputBackgroundButton, &ColorSelectionDialog::OnChangeInputBackground},
        {ui->inputTextButton, &ColorSelectionDialog::OnChangeInputText},
        {ui->buttonBackgroundButton, &ColorSelectionDialog::OnChangeButtonBackground},
        {ui->buttonTextButton, &ColorSelectionDialog::OnChangeButtonText},
        {ui->chatUsernameButton, &ColorSelectionDialog::OnChangeChatUsername},
        {ui->chatTimestampButton, &ColorSelectionDialog::OnChangeChatTimestamp},
        {ui->chatStatusButton, &ColorSelectionDialog::OnChangeChatStatus},
        {ui->transferQueuedButton, &ColorSelectionDialog::OnChangeTransferQueued},
        {ui->transferInProgressButton, &ColorSelectionDialog::OnChangeTransferInProgress},
        {ui->transferCompleteButton, &ColorSelectionDialog::OnChangeTransferComplete},
        {ui->transferFailedButton, &ColorSelectionDialog::OnChangeTransferFailed},
        {ui->transferOtherButton, &ColorSelectionDialog::OnChangeTransferOther},
        {ui->saveColorsButton, &ColorSelectionDialog::OnSaveColors},
        {ui->resetToDefaultsButton, &ColorSelectionDialog::OnResetToDefaults}};
    for (const auto& button : buttons)
        connect(button.first, &QPushButton::clicked, this, button.second);
}

ColorSelectionDialog::~ColorSelectionDialog()
{
    if (colorSelectionDialog == this)
        colorSelectionDialog = nullptr;
}

QColor ColorSelectionDialog::SwatchColor(const QLineEdit* ip_swatch)
{
    return ip_swatch->palette().color(QPalette::Base);
}

QLineEdit* ColorSelectionDialog::Swatch(int i_index) const
{
    QLineEdit* const swatches[14] = {ui->windowBackgroundColor, ui->windowTextColor,         ui->inputBackgroundColor,
                                     ui->inputTextColor,        ui->buttonBackgroundColor,   ui->buttonTextColor,
                                     ui->chatUsernameColor,     ui->chatTimestampColor,      ui->chatStatusColor,
                                     ui->transferQueuedColor,   ui->transferInProgressColor, ui->transferCompleteColor,
                                     ui->transferFailedColor,   ui->transferOtherColor};
    return swatches[i_index];
}

void ColorSelectionDialog::Change(int i_index)
{
    QLineEdit* swatch = Swatch(i_index);
    const QColor chosen = StartupPrompts::Current()->PickColor(this, SwatchColor(swatch));
    if (chosen.isValid())
        Paint(swatch, chosen);
}

void ColorSelectionDialog::OnChangeWindowBackground()
{
    Change(0);
}

void ColorSelectionDialog::OnChangeWindowText()
{
    Change(1);
}

void ColorSelectionDialog::OnChangeInputBackground()
{
    Change(2);
}

void ColorSelectionDialog::OnChangeInputText()
{
    Change(3);
}

void ColorSelectionDialog::OnChangeButtonBackground()
{
    Change(4);
}

void ColorSelectionDialog::OnChangeButtonText()
{
    Change(5);
}

void ColorSelectionDialog::OnChangeChatUsername()
{
    Change(6);
}

void ColorSelectionDialog::OnChangeChatTimestamp()
{
    Change(7);
}

void ColorSelectionDialog::OnChangeChatStatus()
{
    Change(8);
}

void ColorSelectionDialog::OnChangeTransferQueued()
{
    Change(9);
}

void ColorSelectionDialog::OnChangeTransferInProgress()
{
    Change(10);
}

void ColorSelectionDialog::OnChangeTransferComplete()
{
    Change(11);
}

void ColorSelectionDialog::OnChangeTransferFailed()
{
    Change(12);
}

void ColorSelectionDialog::OnChangeTransferOther()
{
    Change(13);
}

void ColorSelectionDialog::OnResetToDefaults()
{
    for (int index = 0; index < kPaletteColours; ++index)
        Paint(Swatch(index), defaultPalette.color(kRoles[index]));
    for (int index = kPaletteColours; index < 14; ++index)
        Paint(Swatch(index), kFixedDefaults[index - kPaletteColours]);
}

void ColorSelectionDialog::OnSaveColors()
{
    QPalette palette = QApplication::palette();
    for (int index = 0; index < kPaletteColours; ++index)
        palette.setColor(QPalette::All, kRoles[index], SwatchColor(Swatch(index)));
    QApplication::setPalette(palette);

    const QPalette applied = QApplication::palette();
    for (int index = 0; index < kPaletteColours; ++index)
        SetSetting(QString::fromLatin1(kKeys[index]), applied.color(kRoles[index]).name());
    for (int index = kPaletteColours; index < 14; ++index)
        SetSetting(QString::fromLatin1(kKeys[index]), SwatchColor(Swatch(index)).name());

    if (transfersForm)
        transfersForm->RecolorEntries();
    accept();
}
