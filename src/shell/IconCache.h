#pragma once

#include <QHash>
#include <QIcon>
#include <QString>

// Icons by path, each decoded from its file once: a QIcon made from a path reads and decodes the
// file anew, and the tool bars make one for every button they add.
class IconCache
{
public:
    QIcon Get(const QString& i_path)
    {
        auto known = m_icons.find(i_path);
        if (known == m_icons.end())
            known = m_icons.insert(i_path, QIcon(i_path));
        return known.value();
    }

private:
    QHash<QString, QIcon> m_icons;
};
