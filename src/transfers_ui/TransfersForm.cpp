#include "TransfersForm.h"

TransfersForm* transfersForm = nullptr;

TransfersForm::TransfersForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    transfersForm = this;
}

TransfersForm::~TransfersForm()
{
    if (transfersForm == this)
        transfersForm = nullptr;
}

void TransfersForm::Init()
{
    dataSaver->AddListener(this);
    m_initialised = true;
}

void TransfersForm::DataLoaded() {}
