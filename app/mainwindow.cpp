#include "mainwindow.h"

// PLACEHOLDER: entry and log are not written yet.
MainWindow::MainWindow(QWidget *parent)
    : QWidget(parent)
{
}

MainWindow::~MainWindow() = default;

void MainWindow::log(const QString &) {}
void MainWindow::logError(const QString &) {}
void MainWindow::buildBackupWindow() {}
void MainWindow::prepareSaveFolders() {}
