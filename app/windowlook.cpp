#include "windowlook.h"

#include <QFileDialog>
#include <QIcon>
#include <QPixmap>
#include <QPushButton>

namespace {

const int buttonMaximumWidth = 200;

} // namespace

void limitButtonWidth(QPushButton *button)
{
    const int whole = button->sizeHint().width();
    button->setMinimumWidth(whole);
    button->setMaximumWidth(qMax(buttonMaximumWidth, whole));
}

void setIconFromImage(QPushButton *button, const QString &imagePath)
{
    QPixmap image(imagePath);
    if (image.isNull())
        image.load(QStringLiteral(":/") + imagePath);
    if (image.isNull())
        return; // no image at all leaves a plain text button
    button->setIcon(QIcon(image));
    button->setIconSize(image.size());
}

QString askForDirectory(const QString &caption)
{
    QFileDialog dialog;
    if (!caption.isEmpty())
        dialog.setWindowTitle(caption);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    if (!dialog.exec())
        return QString();
    const QStringList selected = dialog.selectedFiles();
    return selected.isEmpty() ? QString() : selected.first();
}
