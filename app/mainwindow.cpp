#include "mainwindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "mainwindowform.h"
#include "paths.h"

namespace {
const char* const progressBarStyle =
    "QProgressBar {    border: 2px solid grey;    border-radius: 5px;    text-align: center;  "
    "  height: 30px;}QProgressBar::chunk {    background-color: #05B8CC;    width: 10px;    "
    "margin: 1px;}";
} // namespace

MainWindow::MainWindow(QWidget* parent)
    : MainWindow(parent, paths::defaultServerUrl()) {}

MainWindow::MainWindow(QWidget* parent, const QUrl& serverUrl)
    : QMainWindow(parent)
    , form(new MainWindowForm)
    , networkManager(new QNetworkAccessManager(this))
    , versionReply(nullptr)
    , serverUrl(serverUrl) {
    construct(serverUrl);
}

void MainWindow::construct(const QUrl&) {
    // A separate update program takes over when it is installed.
    const QString updateProgram = paths::dataDir() + paths::separateUpdateProgram();
    if (QFileInfo::exists(updateProgram)) {
        startProcess(updateProgram);
        QCoreApplication::quit();
    }

    form->setupUi(this);
    setWindowTitle(QStringLiteral("Обновление Quorvex"));
    setFixedSize(550, 90);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    cancelButton = new QPushButton(QStringLiteral("Отмена"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    statusLabel = new QLabel(QStringLiteral("Обновление Quorvex..."), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    if (!pendingStatus.isEmpty()) {
        statusLabel->setText(pendingStatus);
        pendingStatus.clear();
    }

    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setStyleSheet(QString::fromLatin1(progressBarStyle));

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(progressBar);
    buttonRow->addWidget(cancelButton);
    auto* column = new QVBoxLayout;
    column->addLayout(buttonRow);
    column->addWidget(statusLabel);
    auto* central = new QWidget(this);
    central->setLayout(column);
    setCentralWidget(central);

    connect(networkManager, &QNetworkAccessManager::finished, this,
            &MainWindow::onDownloadFinished);
    connect(cancelButton, &QPushButton::clicked, this, &MainWindow::onCancelButtonClicked);

    checkForInstalledApplication();
}

MainWindow::~MainWindow() {
    delete form;
}

void MainWindow::setStatus(const QString& text) {
    if (statusLabel) {
        statusLabel->setText(text);
    } else {
        pendingStatus = text;
    }
}

QString MainWindow::ensureDirectory(const QString& path) {
    if (!QDir(path).exists() && !QDir().mkpath(path)) {
        qDebug() << "Ошибка при создании папки:" << path;
    }
    return path;
}

void MainWindow::onUpdateProgress(qint64 bytesReceived, qint64 bytesTotal) {
    if (bytesTotal <= 0) {
        return;
    }
    progressBar->setValue(static_cast<int>(bytesReceived * 100 / bytesTotal));
    setStatus(QStringLiteral("Загрузка обновления (%1 из %2 КБ)...")
                  .arg(bytesReceived / 1024)
                  .arg(bytesTotal / 1024));
}

void MainWindow::onCancelButtonClicked() {
    // A guarded pointer: a released reply reads as null and Cancel does nothing.
    if (!versionReply) {
        return;
    }
    versionReply->abort();
    progressBar->setValue(0);
    setStatus(QStringLiteral("Загрузка отменена"));
}

void MainWindow::updateLoadBar(int progress) {
    progressBar->setValue(progress);
}

void MainWindow::installDownloadedFile(QString filePath) {
    qDebug() << "Установка загруженного файла из" << filePath;
    setStatus(QStringLiteral("Установка завершена"));
    progressBar->setValue(100);
}
