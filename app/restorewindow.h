#ifndef RESTOREWINDOW_H
#define RESTOREWINDOW_H

#include "folderlock.h"

#include <QList>
#include <QString>
#include <QWidget>

#include <memory>

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class RestoreRun;
class RestoreSources;
class VersionCatalogue;
struct ConfiguredEntry;
struct RestoreRequest;

// The restore as a window: the entries of config.txt (or what a save folder
// opened holds), the versions kept of those chosen, and one version of each
// brought back, to where it came from or into another folder. It holds no
// restore logic: the catalogue lists and the restore run restores, both
// answering from the event loop, so that the window never waits.
class RestoreWindow : public QWidget
{
    Q_OBJECT

public:
    // What keeps a backup out of the folder while a restore runs: the
    // folder's lock, taken by this window for each restore, or held by the
    // window that opened it.
    enum class FolderAccess { TakeLock, HeldByOpener };

    explicit RestoreWindow(FolderAccess access, QWidget *parent = nullptr);
    ~RestoreWindow() override;

    bool isRestoring() const { return bool(run); }
    // Reads config.txt and its save folders again, unless a restore runs.
    void reload();
    // The process is asked to end: a restore under way is cancelled, so
    // that nothing half-written stays, and the window closes.
    void stop();

signals:
    void restoringChanged(bool restoring);

private:
    void build();
    QWidget *buttonRow(const QList<QPushButton *> &buttons);
    void readFrom(const QString &saveFolder);
    void openSaveFolder();
    void addProblem(const QString &text);
    void addEntryRow(const ConfiguredEntry &entry);
    void showCatalogue();
    void catalogueFinished();
    void showVersions();
    QStringList chosenNames() const;
    QList<RestoreRequest> chosenRequests(const QString &intoFolder) const;
    void restore(const QString &intoFolder);
    void askToReplace(const QString &name, const QString &target);
    void showProgress(qint64 done, qint64 total);
    void addResult(const QString &text, bool error);
    void restoreFinished();
    void updateButtons();

    FolderAccess access;
    FolderLock lock;
    std::unique_ptr<RestoreSources> sources;
    std::unique_ptr<VersionCatalogue> catalogue;
    std::unique_ptr<RestoreRun> run;
    bool listing = false;
    bool closeWhenDone = false;

    QListWidget *entryList = nullptr;
    QTreeWidget *versionList = nullptr;
    QLabel *problemLines = nullptr;
    QPushButton *openButton = nullptr;
    QPushButton *restoreButton = nullptr;
    QPushButton *restoreToButton = nullptr;
    QPushButton *cancelButton = nullptr;
    QProgressBar *progressBar = nullptr;
    QListWidget *resultList = nullptr;
};

#endif // RESTOREWINDOW_H
