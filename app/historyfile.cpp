#include "mainwindow.h"

// PLACEHOLDER: the history file is not written yet.
void MainWindow::readHistory() {}
void MainWindow::writeHistory() {}
