#include "mainwindow.h"

// PLACEHOLDER: the configuration window is not written yet.
void MainWindow::buildConfigurationWindow() {}
QListWidget *MainWindow::addListGroup(const QString &, const QString &, QVBoxLayout *, QPushButton **, QPushButton **) { return nullptr; }
void MainWindow::addBackupEntry(int) {}
void MainWindow::addNewFile() {}
void MainWindow::addNewZippedFile() {}
void MainWindow::addNewZippedFolder() {}
void MainWindow::addNewFtp() {}
void MainWindow::addNewPath() {}
void MainWindow::removeFile() {}
void MainWindow::removeZippedFile() {}
void MainWindow::removeZippedFolder() {}
void MainWindow::removeFtp() {}
void MainWindow::removePath() {}
void MainWindow::browseWinrar() {}
void MainWindow::winrarPathEdited(const QString &) {}
