#include "mainwindow.h"

// PLACEHOLDER: the upload orchestration is not written yet.
bool MainWindow::prepareServers() { return false; }
void MainWindow::transferDone(bool) {}
void MainWindow::transferCommandFinished(int, bool) {}
void MainWindow::transferListInfo(QUrlInfo) {}
