#pragma once

#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>

namespace Ui { class MainWindow; }

class Data;
class DataSaver;
class QTimer;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* ip_parent = nullptr);
    ~MainWindow() override;

    void Init();

    // The data file: home + "/.Veltrane".
    static QString DataFilePath();

    // How the user is told that the data file could not be loaded. A message box by default;
    // tests answer it themselves.
    using LoadFailureNotice = std::function<void(QWidget* ip_parent, const QString& i_path)>;
    static void SetLoadFailureNotice(LoadFailureNotice i_notice);

private:
    void SaveData();

    std::unique_ptr<Ui::MainWindow> m_ui;
    std::unique_ptr<Data> m_data;  // only when no store existed before Init
    std::unique_ptr<DataSaver> m_dataSaver;
    QTimer* mp_saveTimer = nullptr;
};
