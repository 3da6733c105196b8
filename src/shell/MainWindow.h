#pragma once

#include <QMainWindow>

#include <memory>

namespace Ui { class MainWindow; }

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* ip_parent = nullptr);
    ~MainWindow() override;

    void Init();

private:
    std::unique_ptr<Ui::MainWindow> m_ui;
};
