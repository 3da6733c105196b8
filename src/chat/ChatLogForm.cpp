#include "ChatLogForm.h"

#include "ActionSetToolBar.h"
#include "FocusHelpers.h"
#include "ShellSchema.h"
#include "StartupPrompts.h"
#include "TextUtils.h"
#include "ui_ChatLogForm.h"

#include <QFile>
#include <QFileInfo>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextCodec>
#include <QTextDocument>
#include <QUrl>

#include <cstring>
#include <memory>

namespace
{
// A read of the log ends after a line feed or after this many bytes, whichever comes first.
constexpr qint64 kPieceBuffer = 65536;

// The view is laid out and painted once, at the end of a load or a search step.
class UpdatesOff
{
public:
    explicit UpdatesOff(QWidget* ip_widget)
        : mp_widget(ip_widget)
        , m_was(ip_widget->updatesEnabled())
    {
        mp_widget->setUpdatesEnabled(false);
    }
    ~UpdatesOff() { mp_widget->setUpdatesEnabled(m_was); }
    UpdatesOff(const UpdatesOff&) = delete;
    UpdatesOff& operator=(const UpdatesOff&) = delete;

private:
    QWidget* mp_widget;
    bool m_was;
};

QColor SettingColour(const QString& i_key, const QColor& i_fallback)
{
    const QColor colour(GetSetting(i_key));
    return colour.isValid() ? colour : i_fallback;
}
} // namespace

ChatLogForm::ChatLogForm(const QString& i_path, QWidget* ip_parent)
    : QWidget(ip_parent)
    , ui(new Ui::ChatLogForm)
{
    ui->setupUi(this);
    ui->searchBackButton->setIcon(QIcon(QStringLiteral(":/icons/back_icon")));
    ui->searchForwardButton->setIcon(QIcon(QStringLiteral(":/icons/forward_icon")));
    ui->searchBackButton->setToolTip(QStringLiteral("Previous match"));
    ui->searchForwardButton->setToolTip(QStringLiteral("Next match"));
    ui->searchEdit->setPlaceholderText(QStringLiteral("Search"));
    ui->searchBackButton->setEnabled(false);
    ui->searchForwardButton->setEnabled(false);
    // A read-only view needs no undo history, which would otherwise keep every line added.
    ui->logEdit->setUndoRedoEnabled(false);
    RegisterWidgetForTabFocus(ui->searchEdit, 1);
    connect(ui->searchEdit, &QLineEdit::textChanged, this, &ChatLogForm::OnSearchTextChanged);
    connect(ui->searchBackButton, &QPushButton::clicked, this, &ChatLogForm::OnSearchBack);
    connect(ui->searchForwardButton, &QPushButton::clicked, this, &ChatLogForm::OnSearchForward);
    Load(i_path);
}

ChatLogForm::~ChatLogForm()
{
    delete ui;
    if (d && d->HasType(types::kChatLogForm))
        if (ItemPtr record = d->GetType(types::kChatLogForm)->HasItem(Value(this)))
            record.Remove();
}

ChatLogForm* ChatLogForm::Open(QTabWidget* ip_tabs, ItemPtr io_owner, ChatLogKind i_kind)
{
    ChatLogForm* viewer = io_owner[types::kChatLogForm].AsPointer<ChatLogForm>();
    if (!viewer)
    {
        viewer = new ChatLogForm(ChatLogPath(i_kind, io_owner.AsString()), ip_tabs);
        ip_tabs->addTab(viewer, QIcon(QStringLiteral(":/icons/note_icon")), MnemonicText(io_owner.AsString()));
        io_owner += d->GetType(types::kChatLogForm)->GetItem(Value(viewer));
    }
    FocusWidgetAndParents(viewer->ui->searchEdit);
    return viewer;
}

void ChatLogForm::Load(const QString& i_path)
{
    QFile file(i_path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    // A piece can end inside a character of a long line; the decoder keeps the bytes it has not
    // yet decoded for the next piece.
    const std::unique_ptr<QTextDecoder> decoder(QTextCodec::codecForName("UTF-8")->makeDecoder());
    QByteArray buffer(kPieceBuffer, Qt::Uninitialized);
    QStringList lines;
    qint64 length = 0;
    while ((length = file.readLine(buffer.data(), kPieceBuffer)) > 0)
    {
        const void* nul = std::memchr(buffer.constData(), 0, static_cast<size_t>(length));
        if (nul)
            length = static_cast<const char*>(nul) - buffer.constData();
        lines << decoder->toUnicode(buffer.constData(), static_cast<int>(length)).trimmed();
    }
    if (!lines.isEmpty())
    {
        const UpdatesOff off(ui->logEdit);
        ui->logEdit->setPlainText(lines.join(QLatin1Char('\n')));
        m_hasLines = true;
    }
    m_path = i_path;
    if (actionBar)
    {
        actionBar->RegisterWidget(this, QStringLiteral("chat_log"));
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &ChatLogForm::OnActionTriggered);
    }
}

void ChatLogForm::AddLine(const QString& i_line)
{
    // A reader at the end keeps following the new lines; one who scrolled back stays there.
    QScrollBar* bar = ui->logEdit->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    AppendParagraph(i_line.trimmed());
    if (atEnd)
        bar->setValue(bar->maximum());
}

void ChatLogForm::AppendParagraph(const QString& i_text)
{
    // Inserted as plain text: a logged line that looks like markup is shown as it was written.
    QTextCursor cursor(ui->logEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (m_hasLines)
        cursor.insertBlock();
    cursor.insertText(i_text);
    m_hasLines = true;
}

// ---- search ----

void ChatLogForm::OnSearchTextChanged(QString i_text)
{
    const UpdatesOff off(ui->logEdit);
    QTextCursor cursor = ui->logEdit->textCursor();
    cursor.movePosition(QTextCursor::Start);
    ui->logEdit->setTextCursor(cursor);
    if (!i_text.isEmpty() && ui->logEdit->find(i_text))
        MarkFind();
    else
        RemoveMark();
}

void ChatLogForm::OnSearchForward()
{
    Step(true);
}

void ChatLogForm::OnSearchBack()
{
    Step(false);
}

void ChatLogForm::Step(bool i_forward)
{
    const QString text = ui->searchEdit->text();
    if (text.isEmpty())
        return;
    const UpdatesOff off(ui->logEdit);
    QTextDocument::FindFlags direction = QTextDocument::FindBackward;
    if (i_forward)
    {
        direction = {};
        QTextCursor cursor = ui->logEdit->textCursor();
        cursor.clearSelection();
        cursor.movePosition(QTextCursor::NextCharacter);
        ui->logEdit->setTextCursor(cursor);
    }
    if (ui->logEdit->find(text, direction))
        MarkFind();
    else
        RemoveMark();
}

void ChatLogForm::MarkFind()
{
    QTextDocument* document = ui->logEdit->document();
    const QTextCursor match = ui->logEdit->textCursor();
    const int start = match.selectionStart();
    QTextEdit::ExtraSelection mark;
    mark.cursor = QTextCursor(document);
    mark.cursor.setPosition(start);
    mark.cursor.setPosition(match.selectionEnd(), QTextCursor::KeepAnchor);
    // A line logged right after a match at the end must not widen the mark.
    mark.cursor.setKeepPositionOnInsert(true);
    // The input colours swapped, so the mark reads like selected text in any colour scheme.
    const QPalette& palette = ui->logEdit->palette();
    mark.format.setForeground(QBrush(SettingColour(settings::kColorInputBackground, palette.color(QPalette::Base))));
    mark.format.setBackground(SettingColour(settings::kColorInputText, palette.color(QPalette::Text)));
    ui->logEdit->setExtraSelections({mark});
    MarkSearchButtons();

    // Past the end first, then back: the match comes into sight at the view's top edge.
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    ui->logEdit->setTextCursor(cursor);
    ui->logEdit->ensureCursorVisible();
    cursor.setPosition(start);
    ui->logEdit->setTextCursor(cursor);
    ui->logEdit->ensureCursorVisible();
}

void ChatLogForm::MarkSearchButtons()
{
    QTextDocument* document = ui->logEdit->document();
    const QString text = ui->searchEdit->text();
    const QTextCursor match = ui->logEdit->textCursor();
    // The next match is sought from one character past this one's end.
    QTextCursor after(document);
    after.setPosition(match.selectionEnd());
    after.movePosition(QTextCursor::NextCharacter);
    ui->searchForwardButton->setEnabled(!document->find(text, after).isNull());
    ui->searchBackButton->setEnabled(!document->find(text, match, QTextDocument::FindBackward).isNull());
}

void ChatLogForm::RemoveMark()
{
    ui->logEdit->setExtraSelections({});
    ui->searchBackButton->setEnabled(false);
    ui->searchForwardButton->setEnabled(false);
}

// ---- tool bar ----

void ChatLogForm::OnActionTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget != this)
        return;
    if (i_action == QLatin1String("clear_chat_log"))
        ClearLog();
    else if (i_action == QLatin1String("open_log_folder"))
        OpenOnDesktop(this, {QUrl::fromLocalFile(QFileInfo(m_path).absolutePath())});
}

void ChatLogForm::ClearLog()
{
    StartupPrompts* prompts = StartupPrompts::Current();
    if (prompts->Ask(this, QStringLiteral("Clear log?"),
                     QStringLiteral("Are you sure you want to erase the contents of this log?"),
                     QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes)
        return;
    QFile file(m_path);
    // A log that stays on disk stays in view too, so what is shown is what is kept.
    if (file.exists() && !file.remove())
    {
        prompts->Inform(this, QStringLiteral("Clear log"),
                        QStringLiteral("The log %1 could not be erased: %2").arg(m_path, file.errorString()));
        return;
    }
    const UpdatesOff off(ui->logEdit);
    ui->logEdit->clear();
    m_hasLines = false;
    RemoveMark();
}
