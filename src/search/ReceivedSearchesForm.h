#pragma once

#include <QString>
#include <QWidget>

namespace Ui
{
class ReceivedSearchesForm;
}

// The "Received Searches" page: the searches other users sent that our shares engine just
// processed, newest first, with "Match" where files matched. At most the newest 500 are kept;
// nothing is saved. "Pause" drops what arrives until "Resume".
class ReceivedSearchesForm : public QWidget
{
    Q_OBJECT

public:
    static constexpr int MaxRows = 500;

    explicit ReceivedSearchesForm(QWidget* ip_parent = nullptr);
    ~ReceivedSearchesForm() override;

    // Once the tool bar and the shares engine exist.
    void Init();

    Ui::ReceivedSearchesForm* Form() const { return ui; }
    bool IsPaused() const { return m_paused; }

public slots:
    void OnSearchProcessed(QString i_search, bool i_match);
    void OnActionTriggered(QWidget* ip_widget, QString i_action);

private:
    Ui::ReceivedSearchesForm* ui;
    bool m_paused = false;
};

extern ReceivedSearchesForm* receivedSearchesForm;
