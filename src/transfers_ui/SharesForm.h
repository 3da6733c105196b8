#pragma once

#include <QWidget>

// The browse tab: other users' shares.
class SharesForm : public QWidget
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);
    ~SharesForm() override;

    // Finishes set-up once the managers exist.
    void Init();
    bool IsInitialised() const { return m_initialised; }

private:
    bool m_initialised = false;
};

extern SharesForm* sharesForm;
