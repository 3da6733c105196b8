#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "Data.h"
#include "DataSaver.h"
#include "Log.h"

#include <QDir>
#include <QMessageBox>
#include <QTimer>

namespace {

MainWindow::LoadFailureNotice& Notice()
{
    static MainWindow::LoadFailureNotice notice = [](QWidget* ip_parent, const QString& i_path) {
        QMessageBox::warning(ip_parent, QStringLiteral("Veltrane"),
                             QStringLiteral("The data file %1 could not be loaded. It has been kept as %2, "
                                            "and the client starts from scratch.")
                                 .arg(i_path, i_path + QStringLiteral(".bad")));
    };
    return notice;
}

} // namespace

MainWindow::MainWindow(QWidget* ip_parent)
    : QMainWindow(ip_parent)
    , m_ui(std::make_unique<Ui::MainWindow>())
{
    m_ui->setupUi(this);
}

MainWindow::~MainWindow()
{
    if (m_dataSaver && d) {
        d->RemoveDisconnectedItems();
        SaveData();
    }
    m_dataSaver.reset();
    m_data.reset();
}

QString MainWindow::DataFilePath()
{
    return QDir::homePath() + QStringLiteral("/.Veltrane");
}

void MainWindow::SetLoadFailureNotice(LoadFailureNotice i_notice)
{
    Notice() = std::move(i_notice);
}

void MainWindow::Init()
{
    if (!d) {
        m_data = std::make_unique<Data>();
        d = m_data.get();
    }
    m_dataSaver = std::make_unique<DataSaver>();

    DeclareSettingTypes(d);
    m_dataSaver->AddSavedType("global");
    m_dataSaver->AddSavedByConnectionType("global_value", "global");

    const QString path = DataFilePath();
    try {
        m_dataSaver->Load(path);
    } catch (const DataLoadFailure& failure) {
        // The store still holds the defaults; go on as at a first start, the file kept aside.
        Log(QStringLiteral("Data File"), 1, QString::fromStdString(failure.what()));
        m_dataSaver->NotifyFirstStart();
        if (Notice())
            Notice()(this, path);
    }

    // TimerManager will carry this tick; until then a timer of our own does.
    mp_saveTimer = new QTimer(this);
    mp_saveTimer->setInterval(5 * 60 * 1000);
    connect(mp_saveTimer, &QTimer::timeout, this, [this] {
        d->RemoveDisconnectedItems();
        SaveData();
    });
    mp_saveTimer->start();
}

void MainWindow::SaveData()
{
    if (m_dataSaver)
        m_dataSaver->Save(DataFilePath());
}
