#pragma once

// Bringing a widget to the front through the tab widgets that hold it, and choosing which child
// of a page takes the keyboard focus when its tab is opened.
//
// A window marks the widget its tab should focus with RegisterWidgetForTabFocus(widget, 1) (a
// higher number wins within one page); a `TabWidget` then focuses it whenever that page is
// opened. FocusWidgetAndParents(widget) shows a widget however deeply it sits in tabs.

#include <functional>

class QTabWidget;
class QWidget;

// The nearest enclosing tab widget one of whose pages is the widget or one of its ancestors;
// o_index receives that page's index. Null, with o_index untouched, when there is none.
QTabWidget* GetWidgetTabWidget(QWidget* ip_widget, int& o_index);

// Sets the widget's "get_focus" priority; focuses it at once only when it is visible now.
void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_priority);

// Activates the widget's window, focuses the widget and, in every enclosing tab widget from the
// innermost outward, makes current the tab that holds it.
void FocusWidgetAndParents(QWidget* ip_widget);

// Focuses the first visible widget, depth first from ip_widget, whose "get_focus" is the highest
// above i_best; returns the highest value seen (i_best when none is higher).
int FindWidgetFocusProperty(QWidget* ip_widget, int i_best);

// Calls i_visit(tab widget, index of the page holding the widget) for each enclosing tab widget,
// innermost first, until it returns false.
void ForEachEnclosingTab(QWidget* ip_widget, const std::function<bool(QTabWidget*, int)>& i_visit);
