#ifndef MAINWINDOWINSPECTOR_H
#define MAINWINDOWINSPECTOR_H

#include "mainwindow.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>

// Reaches the private parts of a window for the checks. Header-only, so
// that the fuzz targets can use it without the rest of the fixtures.
// Lists are numbered as the configuration window shows them: files, zipped
// files, zipped folders, servers, save folders.
struct MainWindowInspector
{
    MainWindow *w;

    // --- state -------------------------------------------------------------
    bool &configurationMode() { return w->configurationMode; }
    QString &winrarPath() { return w->winrarPath; }
    QMap<QString, QDateTime> &history() { return w->previousTransfers; }
    QString &logText() { return w->logText; }
    const QString &date() const { return w->date; }
    QTextEdit *logView() const { return w->logView; }
    const QList<BackupEntry> &entries(int list) const
    {
        return list == 0 ? w->files : list == 1 ? w->zippedFiles : w->zippedFolders;
    }
    const QList<FtpServer> &ftps() const { return w->ftps; }
    const QList<SaveFolder> &saveFolders() const { return w->saveFolders; }
    bool runMissedSomething() const { return w->runMissedSomething(); }
    QStringList incompleteReasons() const { return w->runLog.incompleteReasons(); }
    QList<bool> invalidFlags() const
    {
        QList<bool> flags;
        for (const SaveFolder &folder : w->saveFolders)
            flags << folder.invalid;
        return flags;
    }

    // Empties the configuration lists, the history and the log.
    void reset()
    {
        w->files.clear();
        w->zippedFiles.clear();
        w->zippedFolders.clear();
        w->ftps.clear();
        w->saveFolders.clear();
        w->winrarPath.clear();
        w->previousTransfers.clear();
        w->historyAsRead.clear();
        w->logText.clear();
    }
    void load() { w->loadConfiguration(); }
    void save() { w->saveConfiguration(); }
    void read() { w->readHistory(); }
    void write() { w->writeHistory(); }

    void addServer(const QString &host, const QString &password)
    {
        FtpServer server;
        server.host = host;
        server.user = QStringLiteral("me");
        server.password = password;
        server.remotePath = QStringLiteral(".");
        w->ftps << server;
    }

    // One line per loaded item, in list order, so that tables can compare.
    QStringList summary() const
    {
        QStringList out { "winrar " + w->winrarPath };
        for (const FtpServer &s : w->ftps)
            out << "ftp " + s.host + "|" + s.user + "|" + s.password + "|" + s.remotePath;
        for (const SaveFolder &f : w->saveFolders)
            out << "path " + f.path;
        const auto add = [&out](const char *kind, const QList<BackupEntry> &list) {
            for (const BackupEntry &e : list)
                out << QString::fromLatin1(kind) + " " + e.path + "|" + e.name;
        };
        add("file", w->files);
        add("zippedfile", w->zippedFiles);
        add("zippedfolder", w->zippedFolders);
        if (w->keepDays)
            out << "keep " + QString::number(*w->keepDays);
        return out;
    }

    // --- widgets of the configuration window --------------------------------
    QHBoxLayout *layout() const { return w->layout; }
    QPushButton *addButton(int list) const
    {
        QPushButton *buttons[] = { w->addFileButton, w->addZippedFileButton,
                                   w->addZippedFolderButton, w->addFtpButton, w->addPathButton };
        return buttons[list];
    }
    QPushButton *removeButton(int list) const
    {
        QPushButton *buttons[]
            = { w->removeFileButton, w->removeZippedFileButton, w->removeZippedFolderButton,
                w->removeFtpButton, w->removePathButton };
        return buttons[list];
    }
    QListWidget *listWidget(int list) const
    {
        QListWidget *widgets[]
            = { w->fileList, w->zippedFileList, w->zippedFolderList, w->ftpList, w->pathList };
        return widgets[list];
    }
    QLineEdit *winrarPathEdit() const { return w->winrarPathEdit; }

    // Gives a window built in backup mode the widgets that loading fills in
    // configuration mode.
    void attachWidgets()
    {
        w->fileList = new QListWidget(w);
        w->zippedFileList = new QListWidget(w);
        w->zippedFolderList = new QListWidget(w);
        w->ftpList = new QListWidget(w);
        w->pathList = new QListWidget(w);
        w->winrarPathEdit = new QLineEdit(w);
    }

    // The row texts of one list.
    QStringList rows(int list) const
    {
        QStringList texts;
        QListWidget *widget = listWidget(list);
        for (int i = 0; i < widget->count(); ++i)
            texts << widget->item(i)->text();
        return texts;
    }
    // The texts the rows must show, derived from the lists.
    QStringList expectedRows(int list) const
    {
        QStringList rows;
        if (list < 3) {
            for (const BackupEntry &entry : entries(list))
                rows << entry.name;
        } else if (list == 3) {
            for (const FtpServer &server : ftps())
                rows << server.host + QStringLiteral(" - ") + server.remotePath;
        } else {
            for (const SaveFolder &folder : saveFolders())
                rows << folder.path;
        }
        return rows;
    }
    // The rows of the five lists in order, each joined by commas with "*"
    // marking a row icon, then the WinRAR field.
    QStringList allRowsWithIcons() const
    {
        QStringList out;
        for (int list = 0; list < 5; ++list) {
            QStringList texts;
            QListWidget *widget = listWidget(list);
            for (int i = 0; i < widget->count(); ++i)
                texts << widget->item(i)->text() + (widget->item(i)->icon().isNull() ? "" : "*");
            out << texts.join(',');
        }
        return out << w->winrarPathEdit->text();
    }
};

#endif // MAINWINDOWINSPECTOR_H
