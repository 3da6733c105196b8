#include "SharesForm.h"

SharesForm* sharesForm = nullptr;

SharesForm::SharesForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    sharesForm = this;
}

SharesForm::~SharesForm()
{
    if (sharesForm == this)
        sharesForm = nullptr;
}

void SharesForm::Init()
{
    m_initialised = true;
}
