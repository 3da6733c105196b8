#include "SearchForm.h"

SearchForm* searchForm = nullptr;

SearchForm::SearchForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    searchForm = this;
}

SearchForm::~SearchForm()
{
    if (searchForm == this)
        searchForm = nullptr;
}

void SearchForm::Init()
{
    dataSaver->AddListener(this);
    m_initialised = true;
}

void SearchForm::DataLoaded() {}
