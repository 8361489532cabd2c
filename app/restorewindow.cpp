#include "restorewindow.h"

#include "restorerun.h"
#include "restoresources.h"
#include "versioncatalogue.h"
#include "windowlook.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString windowTitleText = QStringLiteral("Mirvo - Restore");
// The columns of the versions: the fields of a line of --versions.
const QStringList versionColumns { QStringLiteral("Entry"), QStringLiteral("Day"),
                                   QStringLiteral("Saved in"), QStringLiteral("Size (bytes)"),
                                   QStringLiteral("Source") };
const int sizeColumn = 3;
const int progressSteps = 1000;

// The source's own icon while it exists, as the configuration window shows
// it; else that of its kind, since a restore is often for what is gone.
QIcon kindIcon(const ConfiguredEntry &entry)
{
    const QFileIconProvider icons;
    const QFileInfo source(entry.path);
    if (!entry.path.isEmpty() && source.exists())
        return icons.icon(source);
    return icons.icon(entry.kind == IndexEntry::ZippedFolder ? QFileIconProvider::Folder
                                                             : QFileIconProvider::File);
}

QGroupBox *group(const QString &title, const QList<QWidget *> &widgets)
{
    QGroupBox *box = new QGroupBox(title);
    QVBoxLayout *boxLayout = new QVBoxLayout(box);
    for (QWidget *widget : widgets)
        boxLayout->addWidget(widget);
    return box;
}

QPushButton *button(const QString &text, const QString &name)
{
    QPushButton *pushButton = new QPushButton(text);
    pushButton->setObjectName(name);
    limitButtonWidth(pushButton);
    return pushButton;
}

} // namespace

RestoreWindow::RestoreWindow(FolderAccess access, QWidget *parent)
    : QWidget(parent)
    , access(access)
{
    setAttribute(Qt::WA_DeleteOnClose);
    // Opened from another window, it is a window of its own all the same.
    if (parent)
        setWindowFlag(Qt::Window);
    build();
    readFrom(QString());
}

RestoreWindow::~RestoreWindow()
{
    // The run and the catalogue go before the destinations they read.
    run.reset();
    catalogue.reset();
}

QWidget *RestoreWindow::buttonRow(const QList<QPushButton *> &buttons)
{
    QWidget *row = new QWidget;
    QHBoxLayout *rowLayout = new QHBoxLayout(row);
    for (QPushButton *pushButton : buttons)
        rowLayout->addWidget(pushButton);
    return row;
}

void RestoreWindow::build()
{
    setMinimumSize(800, 600);
    setWindowTitle(windowTitleText);

    entryList = new QListWidget;
    entryList->setObjectName(QStringLiteral("entries"));
    entryList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    openButton = button(QStringLiteral("Open a save folder..."), QStringLiteral("openSaveFolder"));

    versionList = new QTreeWidget;
    versionList->setObjectName(QStringLiteral("versions"));
    versionList->setHeaderLabels(versionColumns);
    versionList->setRootIsDecorated(false);
    versionList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    problemLines = new QLabel;
    problemLines->setObjectName(QStringLiteral("problems"));
    problemLines->setWordWrap(true);
    problemLines->hide();

    restoreButton = button(QStringLiteral("Restore"), QStringLiteral("restore"));
    restoreToButton = button(QStringLiteral("Restore to..."), QStringLiteral("restoreTo"));
    cancelButton = button(QStringLiteral("Cancel"), QStringLiteral("cancel"));
    progressBar = new QProgressBar;
    progressBar->setObjectName(QStringLiteral("progress"));
    progressBar->setRange(0, progressSteps);
    progressBar->setValue(0);
    progressBar->setFormat(QString());
    resultList = new QListWidget;
    resultList->setObjectName(QStringLiteral("results"));
    resultList->setWordWrap(true);

    // Two columns, groups apart as in the configuration window.
    QHBoxLayout *columns = new QHBoxLayout(this);
    QWidget *leftColumn = new QWidget(this);
    QVBoxLayout *leftLayout = new QVBoxLayout(leftColumn);
    leftLayout->addWidget(
        group(QStringLiteral("Entries"), { entryList, buttonRow({ openButton }) }));
    leftLayout->addWidget(new QLabel);
    columns->addWidget(leftColumn, 1);
    QWidget *rightColumn = new QWidget(this);
    QVBoxLayout *rightLayout = new QVBoxLayout(rightColumn);
    rightLayout->addWidget(group(QStringLiteral("Versions"), { versionList, problemLines }));
    rightLayout->addWidget(buttonRow({ restoreButton, restoreToButton, cancelButton }));
    rightLayout->addWidget(progressBar);
    rightLayout->addWidget(group(QStringLiteral("Results"), { resultList }));
    rightLayout->addWidget(new QLabel);
    columns->addWidget(rightColumn, 2);

    connect(entryList, &QListWidget::itemSelectionChanged, this, &RestoreWindow::showVersions);
    connect(openButton, &QPushButton::clicked, this, &RestoreWindow::openSaveFolder);
    connect(restoreButton, &QPushButton::clicked, this, [this] { restore(QString()); });
    connect(restoreToButton, &QPushButton::clicked, this, [this] {
        const QString folder = askForDirectory(QStringLiteral("Restore to"));
        if (!folder.isEmpty())
            restore(QFileInfo(folder).absoluteFilePath());
    });
    connect(cancelButton, &QPushButton::clicked, this, [this] {
        if (run)
            run->cancel();
    });
}

void RestoreWindow::reload()
{
    if (!run)
        readFrom(QString());
}

void RestoreWindow::stop()
{
    closeWhenDone = true;
    if (run)
        run->cancel();
    else
        close();
}

// Empty: config.txt and its save folders; else that save folder alone, and
// the entries are what it holds.
void RestoreWindow::readFrom(const QString &saveFolder)
{
    if (catalogue)
        catalogue->cancel();
    catalogue.reset();
    sources = std::make_unique<RestoreSources>();
    entryList->clear();
    versionList->clear();
    problemLines->clear();
    problemLines->hide();
    QString problem;
    const bool ready = sources->choose(saveFolder, &problem);
    if (saveFolder.isEmpty()) {
        for (const ConfiguredEntry &entry : sources->configuration().entries)
            addEntryRow(entry);
    }
    if (!ready) {
        addProblem(problem.isEmpty() ? RestoreSources::noConfigurationText()
                           + "; open a save folder to restore from it"
                                     : problem);
        updateButtons();
        return;
    }
    catalogue = std::make_unique<VersionCatalogue>(sources->destinations(),
                                                   sources->configuration().entries);
    connect(catalogue.get(), &VersionCatalogue::errorLine, this, &RestoreWindow::addProblem);
    connect(catalogue.get(), &VersionCatalogue::destinationRead, this,
            &RestoreWindow::showCatalogue);
    connect(catalogue.get(), &VersionCatalogue::finished, this, &RestoreWindow::catalogueFinished);
    listing = true;
    updateButtons();
    catalogue->start();
}

void RestoreWindow::openSaveFolder()
{
    const QString folder = askForDirectory(QStringLiteral("Open a save folder"));
    if (!folder.isEmpty() && !run)
        readFrom(folder);
}

void RestoreWindow::addProblem(const QString &text)
{
    const QString line = "<font color=\"red\">" + text.toHtmlEscaped() + "</font>";
    problemLines->setText(problemLines->text().isEmpty() ? line
                                                         : problemLines->text() + "<br>" + line);
    problemLines->show();
}

void RestoreWindow::addEntryRow(const ConfiguredEntry &entry)
{
    QListWidgetItem *row = new QListWidgetItem(kindIcon(entry), entry.name);
    row->setData(Qt::UserRole, entry.name);
    row->setToolTip(BackupIndex::kindName(entry.kind)
                    + (entry.path.isEmpty() ? QString() : ", from " + entry.path));
    entryList->addItem(row);
}

// Names that only the destinations know (entries no longer in config.txt,
// or a save folder opened) follow those of config.txt.
void RestoreWindow::showCatalogue()
{
    const QStringList shown = [this] {
        QStringList names;
        for (int row = 0; row < entryList->count(); ++row)
            names << entryList->item(row)->data(Qt::UserRole).toString();
        return names;
    }();
    for (const ConfiguredEntry &entry : catalogue->entries()) {
        if (!shown.contains(entry.name))
            addEntryRow(entry);
    }
    showVersions();
}

void RestoreWindow::catalogueFinished()
{
    listing = false;
    if (catalogue->versions().isEmpty() && problemLines->text().isEmpty()) {
        QStringList labels;
        for (const BackupDestination *destination : sources->destinations())
            labels << destination->label();
        addProblem("No copy is kept in " + labels.join(QStringLiteral(", ")));
    }
    showVersions();
}

QStringList RestoreWindow::chosenNames() const
{
    QStringList names;
    for (int row = 0; row < entryList->count(); ++row) {
        if (entryList->item(row)->isSelected())
            names << entryList->item(row)->data(Qt::UserRole).toString();
    }
    return names;
}

// Rows chosen stay chosen while the versions of more destinations come.
void RestoreWindow::showVersions()
{
    QSet<QString> picked;
    for (const QTreeWidgetItem *row : versionList->selectedItems())
        picked << row->text(0) + '\t' + row->text(1) + '\t' + row->text(2);
    versionList->clear();
    const QStringList names = chosenNames();
    if (catalogue) {
        const QList<StoredVersion> &versions = catalogue->versions();
        for (int i = 0; i < versions.size(); ++i) {
            const StoredVersion &version = versions.at(i);
            if (!names.contains(version.name))
                continue;
            QTreeWidgetItem *row = new QTreeWidgetItem(
                { version.name, version.folder.dayText(), version.destination,
                  QString::number(version.copy.size), version.copy.sourcePath });
            row->setData(0, Qt::UserRole, i);
            row->setTextAlignment(sizeColumn, Qt::AlignRight | Qt::AlignVCenter);
            versionList->addTopLevelItem(row);
            row->setSelected(
                picked.contains(row->text(0) + '\t' + row->text(1) + '\t' + row->text(2)));
        }
        for (int column = 0; column < versionColumns.size(); ++column)
            versionList->resizeColumnToContents(column);
    }
    updateButtons();
}

// One request per entry chosen: the version chosen of it, else its newest.
// A version chosen is read from its destination alone; the newest copy
// from the first destination that holds it whole, as --restore does.
QList<RestoreRequest> RestoreWindow::chosenRequests(const QString &intoFolder) const
{
    QList<RestoreRequest> requests;
    for (const QString &name : chosenNames()) {
        RestoreRequest request;
        request.name = name;
        request.intoFolder = intoFolder;
        request.kept = sources->keptFolders();
        request.askBeforeReplacing = true;
        const StoredVersion *chosen = nullptr;
        bool picked = false;
        for (int row = 0; row < versionList->topLevelItemCount() && !picked; ++row) {
            const QTreeWidgetItem *item = versionList->topLevelItem(row);
            const StoredVersion &version
                = catalogue->versions().at(item->data(0, Qt::UserRole).toInt());
            if (version.name != name)
                continue;
            picked = item->isSelected();
            if (!chosen || picked)
                chosen = &version;
        }
        if (chosen) {
            request.day = chosen->folder.day;
            request.size = chosen->copy.size;
            if (picked || !chosen->folder.isLatest())
                request.from = chosen->destination;
        }
        requests << request;
    }
    return requests;
}

void RestoreWindow::restore(const QString &intoFolder)
{
    if (run || listing || !catalogue)
        return;
    const QList<RestoreRequest> requests = chosenRequests(intoFolder);
    if (requests.isEmpty())
        return;
    // A restore never runs beside a backup of the same folder.
    if (access == FolderAccess::TakeLock && lock.take() == FolderLock::HeldElsewhere) {
        addResult("A backup is running in " + lock.folder()
                      + ", or its configuration window is open; try again once it is over",
                  true);
        return;
    }
    run = std::make_unique<RestoreRun>(requests, sources->configuration(), sources->destinations());
    connect(run.get(), &RestoreRun::line, this,
            [this](const QString &text) { addResult(text, false); });
    connect(run.get(), &RestoreRun::errorLine, this,
            [this](const QString &text) { addResult(text, true); });
    connect(run.get(), &RestoreRun::runProgress, this, &RestoreWindow::showProgress);
    connect(run.get(), &RestoreRun::replaceAsked, this, &RestoreWindow::askToReplace);
    connect(run.get(), &RestoreRun::finished, this, &RestoreWindow::restoreFinished);
    showProgress(0, 0);
    updateButtons();
    emit restoringChanged(true);
    run->start();
}

// Asked without a nested event loop: the run waits for the answer.
void RestoreWindow::askToReplace(const QString &name, const QString &target)
{
    QMessageBox *box = new QMessageBox(
        QMessageBox::Question, windowTitleText,
        target + " exists. Replace it with the copy of " + name + "?", QMessageBox::NoButton, this);
    QPushButton *replace = box->addButton(QStringLiteral("Replace"), QMessageBox::AcceptRole);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    connect(box, &QMessageBox::finished, this, [this, box, replace] {
        if (run)
            run->answerReplace(box->clickedButton() == replace);
    });
    box->show();
}

void RestoreWindow::showProgress(qint64 done, qint64 total)
{
    progressBar->setValue(total > 0 ? int(done * progressSteps / total) : 0);
    const QLocale locale;
    progressBar->setFormat(locale.formattedDataSize(done) + " of "
                           + locale.formattedDataSize(total));
}

void RestoreWindow::addResult(const QString &text, bool error)
{
    QListWidgetItem *line = new QListWidgetItem(error ? "Error : " + text : text);
    if (error)
        line->setForeground(Qt::red);
    resultList->addItem(line);
    resultList->scrollToItem(line);
}

// The run is still on the stack: it goes from the event loop.
void RestoreWindow::restoreFinished()
{
    QTimer::singleShot(0, this, [this] {
        run.reset();
        if (access == FolderAccess::TakeLock)
            lock.release();
        updateButtons();
        emit restoringChanged(false);
        if (closeWhenDone)
            close();
    });
}

void RestoreWindow::updateButtons()
{
    const bool idle = !run;
    const bool canRestore = idle && catalogue && !listing && !chosenNames().isEmpty();
    openButton->setEnabled(idle);
    restoreButton->setEnabled(canRestore);
    restoreToButton->setEnabled(canRestore);
    cancelButton->setEnabled(!idle);
}
