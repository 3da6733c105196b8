#pragma once

#include "ShellWidgets.h"

#include <QLineEdit>
#include <QVBoxLayout>

// A window of three nested tab widgets, each showing its first page, with the target on a page
// of the innermost, and a line edit outside every tab.
struct NestedTabs
{
    NestedTabs()
    {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(outer);
        layout->addWidget(outside);
        outer->addTab(new QWidget, "o0");
        outer->addTab(middle, "middle");
        middle->addTab(new QWidget, "m0");
        middle->addTab(inner, "inner");
        inner->addTab(new QWidget, "i0");
        auto* page = new QWidget;
        (new QVBoxLayout(page))->addWidget(target);
        inner->addTab(page, "target");
    }

    QWidget window;
    TabWidget* outer = new TabWidget;
    TabWidget* middle = new TabWidget;
    TabWidget* inner = new TabWidget;
    QLineEdit* target = new QLineEdit;
    QLineEdit* outside = new QLineEdit;
};
