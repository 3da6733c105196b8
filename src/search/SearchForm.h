#pragma once

#include "DataSaver.h"

#include <QWidget>

// The search tab.
class SearchForm
    : public QWidget
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit SearchForm(QWidget* ip_parent = nullptr);
    ~SearchForm() override;

    // Finishes set-up once the managers exist; listens for the end of loading.
    void Init();
    bool IsInitialised() const { return m_initialised; }
    void DataLoaded() override;

private:
    bool m_initialised = false;
};

extern SearchForm* searchForm;
