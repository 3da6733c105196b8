#include "SizeManager.h"

SizeManager* sizeManager = nullptr;

SizeManager::SizeManager(QObject* ip_parent)
    : QObject(ip_parent)
{
    sizeManager = this;
}

SizeManager::~SizeManager() = default;

void SizeManager::RegisterResizableWindow(const QString& i_name, ResizableWindow*)
{
    m_names.append(i_name);
}

void SizeManager::RegisterSplitter(const QString& i_name, QSplitter*, const QList<int>&)
{
    m_names.append(i_name);
}

void SizeManager::RegisterTreeWidget(const QString& i_name, QTreeWidget*)
{
    m_names.append(i_name);
}
