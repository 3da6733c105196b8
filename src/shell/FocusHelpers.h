#pragma once

class QWidget;

// Marks the widget as the one its tab focuses, and focuses it now when it is visible.
void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_order);
