#ifndef WINDOWLOOK_H
#define WINDOWLOOK_H

#include <QString>

class QPushButton;

// What the windows share of their looks and dialogs.

// A button never narrower than its whole text, and no wider than the others
// of its row unless that text needs more: a label is never cut.
void limitButtonWidth(QPushButton *button);

// An image in ressources/ beside config.txt replaces the built-in one of the
// same name, so that the buttons look right from any folder.
void setIconFromImage(QPushButton *button, const QString &imagePath);

// The folder picker: no parent, start directory or filter. Returns the
// empty path when cancelled.
QString askForDirectory(const QString &caption = QString());

#endif // WINDOWLOOK_H
