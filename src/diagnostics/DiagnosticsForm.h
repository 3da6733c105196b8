#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <map>
#include <memory>
#include <string>

class QPlainTextEdit;
namespace Ui
{
class DiagnosticsForm;
}

// The diagnostics tab: one page of log lines per area, made when the area logs its first line.
// The lines logged before the form existed are shown as soon as it is built.
class DiagnosticsForm : public QWidget
{
    Q_OBJECT

public:
    explicit DiagnosticsForm(QWidget* ip_parent = nullptr);
    ~DiagnosticsForm() override;

    // Called once the settings types exist; a second call does nothing.
    void Init();
    bool IsInitialized() const { return m_initialized; }

    // Lets items of the type carry the lines logged against them.
    static void RegisterLoggableItemType(const std::string& i_type);

    QStringList AreaNames() const; // in the order the tabs were made
    QStringList AreaLines(const QString& i_area) const;

private:
    void AddLine(const QString& i_area, const QString& i_line);
    // Appends the lines logged since the last call, each page's in one go.
    void ShowWaitingLines();

    std::unique_ptr<Ui::DiagnosticsForm> m_ui;
    std::map<QString, QPlainTextEdit*> m_areaViews;
    // Lines logged in this turn of the event loop, per page, oldest first.
    std::map<QPlainTextEdit*, QStringList> m_waitingLines;
    bool m_showScheduled = false;
    bool m_initialized = false;
};

extern DiagnosticsForm* diagnosticsForm;
