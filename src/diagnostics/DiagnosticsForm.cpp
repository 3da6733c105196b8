#include "DiagnosticsForm.h"

#include "Log.h"
#include "ui_DiagnosticsForm.h"

#include <QPlainTextEdit>

DiagnosticsForm* diagnosticsForm = nullptr;

DiagnosticsForm::DiagnosticsForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , m_ui(std::make_unique<Ui::DiagnosticsForm>())
{
    m_ui->setupUi(this);
    diagnosticsForm = this;
    SetLogSink([this](const QString& i_area, const QString& i_line) { AddLine(i_area, i_line); });
}

DiagnosticsForm::~DiagnosticsForm()
{
    if (diagnosticsForm == this)
    {
        // Lines logged from now on wait for the next form.
        SetLogSink(LogSink());
        diagnosticsForm = nullptr;
    }
}

void DiagnosticsForm::Init()
{
    m_initialized = true;
}

void DiagnosticsForm::RegisterLoggableItemType(const std::string& i_type)
{
    ::RegisterLoggableItemType(i_type);
}

QStringList DiagnosticsForm::AreaNames() const
{
    QStringList names;
    for (int index = 0; index < m_ui->areaTabs->count(); ++index)
        names.append(m_ui->areaTabs->tabText(index));
    return names;
}

QStringList DiagnosticsForm::AreaLines(const QString& i_area) const
{
    auto it = m_areaViews.find(i_area);
    if (it == m_areaViews.end())
        return QStringList();
    // The page as it will read once this turn's lines are on it.
    QString text = it->second->toPlainText();
    if (auto waiting = m_waitingLines.find(it->second); waiting != m_waitingLines.end())
        text += (text.isEmpty() ? QString() : QStringLiteral("\n")) + waiting->second.join(QLatin1Char('\n'));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > kMaxLogLines)
        lines.erase(lines.begin(), lines.end() - kMaxLogLines);
    return lines;
}

void DiagnosticsForm::AddLine(const QString& i_area, const QString& i_line)
{
    QPlainTextEdit*& view = m_areaViews[i_area];
    if (!view)
    {
        view = new QPlainTextEdit(m_ui->areaTabs);
        view->setReadOnly(true);
        view->setLineWrapMode(QPlainTextEdit::NoWrap);
        // The oldest lines go first, so a long run keeps a bounded log.
        view->setMaximumBlockCount(kMaxLogLines);
        // Tab texts treat "&" as a mnemonic marker.
        QString title = i_area;
        title.replace(QLatin1Char('&'), QLatin1String("&&"));
        m_ui->areaTabs->addTab(view, title);
    }
    // A page laid out again for every line of a burst of thousands would hold the window up: the
    // lines of one turn are appended together when it ends.
    m_waitingLines[view].append(i_line);
    if (m_showScheduled)
        return;
    m_showScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_showScheduled = false;
            ShowWaitingLines();
        },
        Qt::QueuedConnection);
}

void DiagnosticsForm::ShowWaitingLines()
{
    std::map<QPlainTextEdit*, QStringList> waiting;
    waiting.swap(m_waitingLines);
    for (auto& [view, lines] : waiting)
    {
        // The page keeps only the newest lines anyway.
        if (lines.size() > kMaxLogLines)
            lines.erase(lines.begin(), lines.end() - kMaxLogLines);
        view->appendPlainText(lines.join(QLatin1Char('\n')));
    }
}
