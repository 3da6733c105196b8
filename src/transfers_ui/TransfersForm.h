#pragma once

#include "DataSaver.h"

#include <QWidget>

// The transfers tab: downloads and uploads.
class TransfersForm
    : public QWidget
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit TransfersForm(QWidget* ip_parent = nullptr);
    ~TransfersForm() override;

    // Finishes set-up once the managers exist; listens for the end of loading.
    void Init();
    bool IsInitialised() const { return m_initialised; }
    void DataLoaded() override;

private:
    bool m_initialised = false;
};

extern TransfersForm* transfersForm;
