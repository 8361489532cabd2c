#include "mainwindow.h"

// PLACEHOLDER: the configuration file is not written yet.
void MainWindow::loadConfiguration() {}
void MainWindow::saveConfiguration() {}
void MainWindow::addEntryFromConfig(const QString &, const QString &, QListWidget *, QList<BackupEntry> &) {}
