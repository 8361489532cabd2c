// The configuration window: five lists and the WinRAR path, edited through
// file and input dialogs. Every change goes to the configuration lists and
// to config.txt at once; there is no save button.
#include "mainwindow.h"

#include "configurationfields.h"
#include "pruning.h"
#include "restorewindow.h"
#include "windowlook.h"

#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// How often a window that waits for a busy folder looks again.
const int folderRetryMs = 1000;

void warn(const QString &message)
{
    QMessageBox::warning(nullptr, message, message);
}

void inform(const QString &message)
{
    QMessageBox::information(nullptr, message, message);
}

QString backupNamePrompt(EntryKind kind)
{
    switch (kind) {
    case EntryKind::File:
        return QStringLiteral("Enter the file's backup name");
    case EntryKind::ZippedFile:
        return QStringLiteral("Enter the zipped file's backup name");
    case EntryKind::ZippedFolder:
        return QStringLiteral("Enter the zipped folder's backup name");
    }
    Q_UNREACHABLE();
}

} // namespace

void MainWindow::buildConfigurationWindow()
{
    // The button images are built into the program (see setIconFromImage).
    Q_INIT_RESOURCE(ressources);
    setMinimumSize(800, 600);
    setWindowTitle(QStringLiteral("Mirvo - Configuration"));
    layout = new QHBoxLayout;

    QWidget *leftColumn = new QWidget(this);
    QVBoxLayout *leftLayout = new QVBoxLayout(leftColumn);
    layout->addWidget(leftColumn);
    QWidget *rightColumn = new QWidget(this);
    QVBoxLayout *rightLayout = new QVBoxLayout(rightColumn);
    layout->addWidget(rightColumn);

    fileList = addListGroup(QStringLiteral("Files"), QStringLiteral("Add a new file"), leftLayout,
                            &addFileButton, &removeFileButton);
    zippedFileList = addListGroup(QStringLiteral("Zipped Files"),
                                  QStringLiteral("Add a new file to be zipped"), leftLayout,
                                  &addZippedFileButton, &removeZippedFileButton);
    zippedFolderList = addListGroup(QStringLiteral("Zipped Folders"),
                                    QStringLiteral("Add a new folder to be zipped"), leftLayout,
                                    &addZippedFolderButton, &removeZippedFolderButton);

    QWidget *winrarRow = new QWidget;
    QHBoxLayout *winrarLayout = new QHBoxLayout(winrarRow);
    winrarLayout->addWidget(new QLabel(QStringLiteral("WinRAR path :")));
    winrarPathEdit = new QLineEdit;
    winrarLayout->addWidget(winrarPathEdit);
    QPushButton *browseButton = new QPushButton(QStringLiteral("Browse"));
    winrarLayout->addWidget(browseButton);
    rightLayout->addWidget(winrarRow);
    connect(winrarPathEdit, &QLineEdit::textEdited, this, &MainWindow::winrarPathEdited);
    connect(browseButton, &QPushButton::clicked, this, &MainWindow::browseWinrar);

    ftpList = addListGroup(QStringLiteral("FTPs"), QStringLiteral("Add a new ftp server"),
                           rightLayout, &addFtpButton, &removeFtpButton);
    pathList = addListGroup(QStringLiteral("Save folders"),
                            QStringLiteral("Add a folder for your saves"), rightLayout,
                            &addPathButton, &removePathButton);
    keepDaysBox = new QSpinBox;
    keepDaysBox->setRange(0, maximumKeepDays);
    keepDaysBox->setPrefix(QStringLiteral("Keep dated folders for "));
    keepDaysBox->setSuffix(QStringLiteral(" days, 0 = always"));
    rightLayout->addWidget(keepDaysBox);
    // A value chosen here replaces the keep= lines that could not be read,
    // which would otherwise keep every folder.
    connect(keepDaysBox, QOverload<int>::of(&QSpinBox::valueChanged), this, [this](int days) {
        keepDays = days;
        otherLines.erase(std::remove_if(otherLines.begin(), otherLines.end(),
                                        [](const QString &line) {
                                            return line.startsWith(QLatin1String("keep="));
                                        }),
                         otherLines.end());
        saveConfiguration();
    });

    rightLayout->addWidget(buildRestoreRow());

    connect(addFileButton, &QPushButton::clicked, this, &MainWindow::addNewFile);
    connect(addZippedFileButton, &QPushButton::clicked, this, &MainWindow::addNewZippedFile);
    connect(addZippedFolderButton, &QPushButton::clicked, this, &MainWindow::addNewZippedFolder);
    connect(addFtpButton, &QPushButton::clicked, this, &MainWindow::addNewFtp);
    connect(addPathButton, &QPushButton::clicked, this, &MainWindow::addNewPath);
    connect(removeFileButton, &QPushButton::clicked, this, &MainWindow::removeFile);
    connect(removeZippedFileButton, &QPushButton::clicked, this, &MainWindow::removeZippedFile);
    connect(removeZippedFolderButton, &QPushButton::clicked, this, &MainWindow::removeZippedFolder);
    connect(removeFtpButton, &QPushButton::clicked, this, &MainWindow::removeFtp);
    connect(removePathButton, &QPushButton::clicked, this, &MainWindow::removePath);

    // Saving right after loading creates config.txt on a first start.
    loadConfiguration();
    saveConfiguration();

    setLayout(layout);
}

// "Restore..." opens the restore window on this folder, under the lock this
// window holds; the standard build's "Back up now" hands the folder to a
// backup window, never while a restore runs.
QWidget *MainWindow::buildRestoreRow()
{
    QWidget *row = new QWidget;
    QHBoxLayout *rowLayout = new QHBoxLayout(row);
    QPushButton *restore = new QPushButton(QStringLiteral("Restore..."));
    limitButtonWidth(restore);
    rowLayout->addWidget(restore);
    QPushButton *backUp = nullptr;
    if (!isConfigurationOnlyBuild()) {
        backUp = new QPushButton(QStringLiteral("Back up now"));
        limitButtonWidth(backUp);
        rowLayout->addWidget(backUp);
        connect(backUp, &QPushButton::clicked, this, &MainWindow::backUpNow);
    }
    connect(restore, &QPushButton::clicked, this, [this, backUp] {
        if (RestoreWindow *open = findChild<RestoreWindow *>()) {
            open->reload();
            open->raise();
            open->activateWindow();
            return;
        }
        RestoreWindow *window = new RestoreWindow(RestoreWindow::FolderAccess::HeldByOpener, this);
        if (backUp)
            connect(window, &RestoreWindow::restoringChanged, backUp,
                    [backUp](bool restoring) { backUp->setEnabled(!restoring); });
        window->show();
    });
    return row;
}

// The backup takes the folder's lock itself, so this window lets it go
// first; the backup window runs at once, as mirvo does with a config.txt.
void MainWindow::backUpNow()
{
    saveConfiguration();
    // Without config.txt the new window would be an editor, not a backup.
    if (!QFileInfo::exists(QLatin1String(configurationFileName))) {
        warn("Cannot write " + folderLock.folder() + "/" + configurationFileName);
        return;
    }
    folderLock.release();
    MainWindow *backup = new MainWindow;
    backup->show();
    close();
}

// Another process works in the folder: a backup runs there, or another
// configuration window is open. Editing now would rewrite config.txt and
// previous under it, so the window says so, and becomes the editor as soon
// as the folder is free.
void MainWindow::waitForFolder()
{
    setMinimumSize(800, 600);
    setWindowTitle(QStringLiteral("Mirvo - Configuration"));
    const QString text = folderBusyText()
        + QStringLiteral(".\nThe configuration can be edited here once that has ended.");
    log(text);
    QLabel *notice = new QLabel(text);
    notice->setAlignment(Qt::AlignCenter);
    notice->setWordWrap(true);
    QVBoxLayout *noticeLayout = new QVBoxLayout(this);
    noticeLayout->addWidget(notice);

    QTimer *retry = new QTimer(this);
    connect(retry, &QTimer::timeout, this, [this, retry, notice, noticeLayout] {
        if (folderLock.take() == FolderLock::HeldElsewhere)
            return;
        retry->deleteLater();
        delete notice;
        delete noticeLayout;
        buildConfigurationWindow();
        // Widgets added to a window already on screen appear only when told to.
        for (QWidget *child : findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
            child->show();
    });
    retry->start(folderRetryMs);
}

QListWidget *MainWindow::addListGroup(const QString &title, const QString &addLabel,
                                      QVBoxLayout *columnLayout, QPushButton **addButton,
                                      QPushButton **removeButton)
{
    QGroupBox *group = new QGroupBox(title);
    QVBoxLayout *groupLayout = new QVBoxLayout(group);
    QListWidget *list = new QListWidget;
    groupLayout->addWidget(list);

    QWidget *buttonRow = new QWidget;
    QHBoxLayout *buttonLayout = new QHBoxLayout(buttonRow);
    QPushButton *add = new QPushButton(addLabel);
    setIconFromImage(add, QStringLiteral("ressources/add.png"));
    limitButtonWidth(add);
    buttonLayout->addWidget(add);
    QPushButton *remove = new QPushButton(QStringLiteral("Remove"));
    setIconFromImage(remove, QStringLiteral("ressources/remove.png"));
    limitButtonWidth(remove);
    buttonLayout->addWidget(remove);
    groupLayout->addWidget(buttonRow);

    columnLayout->addWidget(group);
    columnLayout->addWidget(new QLabel); // keeps the groups apart

    *addButton = add;
    *removeButton = remove;
    return list;
}

void MainWindow::addBackupEntry(EntryKind kind)
{
    QString path;
    if (kind == EntryKind::ZippedFolder)
        path = askForDirectory();
    else
        path = QFileDialog::getOpenFileName(this, QStringLiteral("Add File"), QString(),
                                            QStringLiteral("All files (*)"));
    if (path.isEmpty())
        return;
    // Spaces are fine in a path; a line break would split its line.
    if (breaksConfigurationPath(path)) {
        warn(QStringLiteral("The path musn't contain spaces"));
        return;
    }

    // Names hold no space: the proposal has "_" where the file name has one.
    const QString proposedName
        = path.section(QLatin1Char('/'), -1).replace(QLatin1Char(' '), QLatin1Char('_'));
    const QString prompt = backupNamePrompt(kind);
    bool ok = false;
    const QString name
        = QInputDialog::getText(this, prompt, prompt, QLineEdit::Normal, proposedName, &ok);
    if (!name.isEmpty() && !isValidBackupName(name)) {
        warn(QStringLiteral("The path musn't contain spaces nor / nor \\"));
        return;
    }

    // Two entries stored under one name would overwrite each other's copies.
    if (ok && !name.isEmpty() && backupNameTaken(kind, name)) {
        warn("Another backup is already stored as "
             + storedBackupName(name, kind != EntryKind::File));
        return;
    }

    // The source may have gone while the name was asked for; then the entry
    // is dropped quietly, but the file is still written.
    if (ok && !name.isEmpty() && QFileInfo::exists(path)) {
        const EntryList list = entryListOf(kind);
        list.rows->addItem(new QListWidgetItem(QFileIconProvider().icon(QFileInfo(path)), name));
        list.entries.append(BackupEntry { path, name });
    }
    saveConfiguration();
}

void MainWindow::addNewFile()
{
    addBackupEntry(EntryKind::File);
}

void MainWindow::addNewZippedFile()
{
    addBackupEntry(EntryKind::ZippedFile);
}

void MainWindow::addNewZippedFolder()
{
    addBackupEntry(EntryKind::ZippedFolder);
}

void MainWindow::addNewFtp()
{
    bool ok = false;
    const QString hostPrompt = QStringLiteral("Enter the host's name");
    const QString host = QInputDialog::getText(
        this, hostPrompt, hostPrompt + QStringLiteral("\ne.g. ftp.example.org"), QLineEdit::Normal,
        QString(), &ok);
    if (!ok || host.isEmpty())
        return;
    if (breaksConfigurationLine(host)) {
        warn(QStringLiteral("The hostname musn't contain spaces"));
        return;
    }

    const QString userPrompt = QStringLiteral("Enter your username");
    const QString user
        = QInputDialog::getText(this, userPrompt, userPrompt, QLineEdit::Normal, QString(), &ok);
    if (!ok || user.isEmpty())
        return;
    if (breaksConfigurationLine(user)) {
        warn(QStringLiteral("The username musn't contain spaces"));
        return;
    }

    // The password is stored enciphered, so any character may be part of it.
    const QString passwordPrompt = QStringLiteral("Enter your password");
    const QString password = QInputDialog::getText(this, passwordPrompt, passwordPrompt,
                                                   QLineEdit::Password, QString(), &ok);
    if (!ok || password.isEmpty())
        return;

    const QString remotePath
        = QInputDialog::getText(this, QStringLiteral("Enter the path on the server"),
                                QStringLiteral("Enter the path on the server where your files "
                                               "will be stored"),
                                QLineEdit::Normal, QStringLiteral("Mirvo"), &ok);
    if (!ok || remotePath.isEmpty()) {
        warn(QStringLiteral("The path musn't be empty"));
        inform(QStringLiteral("To place the backups at the root, use '.'"));
        return;
    }
    if (breaksConfigurationPath(remotePath)) {
        warn(QStringLiteral("The path musn't contain spaces"));
        return;
    }

    FtpServer server;
    server.host = host;
    server.user = user;
    server.password = password;
    server.remotePath = remotePath;
    ftpList->addItem(server.label());
    ftps.append(server);
    saveConfiguration();
}

void MainWindow::addNewPath()
{
    const QString folder = askForDirectory();
    if (folder.isEmpty())
        return;
    if (breaksConfigurationPath(folder)) {
        warn(QStringLiteral("The path musn't contain spaces"));
        return;
    }
    pathList->addItem(folder);
    SaveFolder saveFolder;
    saveFolder.path = folder;
    saveFolders.append(saveFolder);
    saveConfiguration();
}

template<typename T> void MainWindow::removeEntry(QListWidget *widget, QList<T> &list)
{
    const int row = widget->currentRow();
    if (row < 0)
        return;
    delete widget->takeItem(row);
    if (row < list.size())
        list.removeAt(row);
    saveConfiguration();
}

void MainWindow::removeFile()
{
    removeEntry(fileList, files);
}

void MainWindow::removeZippedFile()
{
    removeEntry(zippedFileList, zippedFiles);
}

void MainWindow::removeZippedFolder()
{
    removeEntry(zippedFolderList, zippedFolders);
}

void MainWindow::removeFtp()
{
    removeEntry(ftpList, ftps);
}

void MainWindow::removePath()
{
    removeEntry(pathList, saveFolders);
}

// Cancelling the dialog changes nothing. The archivers of this system have
// no ".exe", so every file can be shown too; that filter comes first unless
// the path in use is one of those.
void MainWindow::browseWinrar()
{
    const QString start = winrarPath.isEmpty() ? defaultArchiverPath() : winrarPath;
    const QString windowsFilter = QStringLiteral("Winrar (*.exe)");
    const QString allFilter = QStringLiteral("All files (*)");
    QString filter
        = start.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive) ? windowsFilter : allFilter;
    const QString picked = QFileDialog::getOpenFileName(this, QStringLiteral("Find winrar"), start,
                                                        windowsFilter + ";;" + allFilter, &filter);
    if (picked.isEmpty())
        return;
    winrarPath = picked;
    winrarPathEdit->setText(winrarPath);
    saveConfiguration();
}

void MainWindow::winrarPathEdited(const QString &str)
{
    winrarPath = str;
    saveConfiguration();
}
