#include "mainwindow.h"

// PLACEHOLDER: the backup run is not written yet.
void MainWindow::runNext() {}
void MainWindow::transferEntry(BackupEntry) {}
void MainWindow::copyToSaveFolder(const QString &, const QString &) {}
bool MainWindow::zipFile(const BackupEntry &) { return false; }
bool MainWindow::zipFolder(const BackupEntry &) { return false; }
QDateTime MainWindow::modificationTime(const QString &) { return {}; }
void MainWindow::finishRun() {}
