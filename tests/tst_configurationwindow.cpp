#include "configurationfields.h"
#include "mainwindow.h"
#include "restorewindow.h"
#include "stringcipher.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <functional>
#include <memory>

extern bool testConfigurationOnlyBuild;

enum List { Files, ZippedFiles, ZippedFolders, Ftps, SaveFolders };

// Types text key by key, as a keyboard would, whatever its characters.
static void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// What a modal dialog looked like when it came up.
struct SeenDialog
{
    QString kind; // "message", "input", "file" or the class name
    QString title;
    QString text;
    int icon = -1;
    int buttons = 0;
    int echoMode = -1;
    QString initialText;
    bool hasParent = false;
    bool modal = false;
    int fileMode = -1;
    bool showDirsOnly = false;
    QStringList nameFilters;
};

// Plays a person's part: waits for each modal dialog to come up, notes what
// it shows and answers it. A dialog nobody planned for is rejected, so a
// wrong path through the code fails the test instead of hanging it.
class DialogScript : public QObject
{
public:
    using Action = std::function<void(QWidget *)>;

    DialogScript()
    {
        connect(&timer, &QTimer::timeout, this, &DialogScript::poll);
        timer.start(5);
    }

    DialogScript &then(Action action)
    {
        actions << action;
        return *this;
    }

    bool allPlayed() const { return actions.isEmpty(); }
    QList<SeenDialog> seen;
    QStringList problems;

    // --- answers -----------------------------------------------------------

    static Action pressOk()
    {
        return [](QWidget *w) {
            auto box = qobject_cast<QMessageBox *>(w);
            if (box && box->button(QMessageBox::Ok))
                QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        };
    }

    // Types the text over the proposed one and presses OK.
    static Action answer(const QString &text)
    {
        return [text](QWidget *w) {
            auto line = w->findChild<QLineEdit *>();
            if (line) {
                QTest::keyClick(line, Qt::Key_A, Qt::ControlModifier);
                QTest::keyClick(line, Qt::Key_Backspace);
                typeText(line, text);
            }
            clickButton(w, QDialogButtonBox::Ok);
        };
    }

    // Pastes the text over the proposed one and presses OK. Unlike typing,
    // pasting can bring line breaks into the field.
    static Action paste(const QString &text)
    {
        return [text](QWidget *w) {
            auto line = w->findChild<QLineEdit *>();
            if (line) {
                QGuiApplication::clipboard()->setText(text);
                QTest::keyClick(line, Qt::Key_A, Qt::ControlModifier);
                QTest::keyClick(line, Qt::Key_V, Qt::ControlModifier);
            }
            clickButton(w, QDialogButtonBox::Ok);
        };
    }

    // Presses OK on what the dialog proposes.
    static Action acceptProposal()
    {
        return [](QWidget *w) {
            clickButton(w, QDialogButtonBox::Ok);
        };
    }

    static Action cancel()
    {
        return [](QWidget *w) {
            QTest::keyClick(w, Qt::Key_Escape);
        };
    }

    // Types the path into the file dialog's name field and opens it.
    static Action pick(const QString &path)
    {
        return [path](QWidget *w) {
            auto dialog = qobject_cast<QFileDialog *>(w);
            if (!dialog)
                return;
            QLineEdit *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (!name)
                return;
            name->setFocus();
            QTest::keyClick(name, Qt::Key_A, Qt::ControlModifier);
            typeText(name, path);
            // The completer may have opened a popup; the person clicks the button.
            auto buttons = dialog->findChild<QDialogButtonBox *>();
            QPushButton *open = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
            if (open)
                QTest::mouseClick(open, Qt::LeftButton);
        };
    }

    // The answer a table cell names: "<accept>" presses OK on the proposal,
    // "<cancel>" cancels, "<paste>text" pastes the text; other text is typed.
    static Action reply(const QString &cell)
    {
        if (cell == QLatin1String("<accept>"))
            return acceptProposal();
        if (cell == QLatin1String("<cancel>"))
            return cancel();
        if (cell.startsWith(QLatin1String("<paste>")))
            return paste(cell.mid(7));
        return answer(cell);
    }

    // Clicks the button showing `text`.
    static Action press(const QString &text)
    {
        return [text](QWidget *w) {
            for (QAbstractButton *button : w->findChildren<QAbstractButton *>()) {
                if (button->text() == text)
                    QTest::mouseClick(button, Qt::LeftButton);
            }
        };
    }

    // Does something else first, then answers the dialog.
    static Action before(std::function<void()> first, Action action)
    {
        return [first, action](QWidget *w) {
            first();
            action(w);
        };
    }

private:
    static void clickButton(QWidget *dialog, QDialogButtonBox::StandardButton which)
    {
        auto box = dialog->findChild<QDialogButtonBox *>();
        if (box && box->button(which))
            QTest::mouseClick(box->button(which), Qt::LeftButton);
    }

    static SeenDialog describe(QWidget *w)
    {
        SeenDialog d;
        d.kind = QString::fromLatin1(w->metaObject()->className());
        d.title = w->windowTitle();
        d.hasParent = w->parentWidget() != nullptr;
        d.modal = w->isModal();
        if (auto box = qobject_cast<QMessageBox *>(w)) {
            d.kind = QStringLiteral("message");
            d.text = box->text();
            d.icon = box->icon();
            d.buttons = int(box->standardButtons());
        } else if (auto input = qobject_cast<QInputDialog *>(w)) {
            d.kind = QStringLiteral("input");
            d.text = input->labelText();
            d.echoMode = input->textEchoMode();
            d.initialText = input->textValue();
        } else if (auto file = qobject_cast<QFileDialog *>(w)) {
            d.kind = QStringLiteral("file");
            d.fileMode = file->fileMode();
            d.showDirsOnly = file->testOption(QFileDialog::ShowDirsOnly);
            d.nameFilters = file->nameFilters();
        }
        return d;
    }

    void poll()
    {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        if (w == current) {
            // An answer that did not close its dialog: close it, or the test hangs.
            if (++stuckTicks > 400) {
                problems << QStringLiteral("dialog \"%1\" did not close").arg(w->windowTitle());
                if (auto dialog = qobject_cast<QDialog *>(w))
                    dialog->reject();
            }
            return;
        }
        // A person answers a dialog once it is up and has the keyboard; on a
        // real display that is a moment after it became visible.
        if (!w->isActiveWindow() && ++waitTicks < 200)
            return;
        waitTicks = 0;
        current = w;
        stuckTicks = 0;
        seen << describe(w);
        if (actions.isEmpty()) {
            problems << QStringLiteral("unexpected dialog \"%1\"").arg(w->windowTitle());
            if (auto dialog = qobject_cast<QDialog *>(w))
                dialog->reject();
            return;
        }
        actions.takeFirst()(w);
    }

    QTimer timer;
    QList<Action> actions;
    QPointer<QWidget> current;
    int stuckTicks = 0;
    int waitTicks = 0;
};

namespace {

const QString defaultWinrar = QString::fromLatin1(defaultWinrarPath);
const QString untouchedMarker = QStringLiteral("# untouched since the last check\n");

QStringList configLines()
{
    return QString::fromUtf8(readFile(QStringLiteral("config.txt")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Appends a line the program never writes: if it is still there later,
// config.txt has not been saved in between.
void markConfig()
{
    QFile file(QStringLiteral("config.txt"));
    QVERIFY(file.open(QIODevice::Append));
    file.write(untouchedMarker.toUtf8());
}

bool configSavedSinceMark()
{
    return !QString::fromUtf8(readFile(QStringLiteral("config.txt"))).contains(untouchedMarker);
}

QStringList titles(const QList<SeenDialog> &seen)
{
    QStringList result;
    for (const SeenDialog &d : seen)
        result << d.kind + QLatin1Char(':') + d.title;
    return result;
}

QStringList ftpHostsAndPaths(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines) {
        if (!line.startsWith(QStringLiteral("ftp=")))
            continue;
        // The remote path is everything after the enciphered password.
        const QStringList fields = line.mid(4).split(QLatin1Char(' '));
        result << (fields.size() >= 4 ? fields[0] + QLatin1Char(' ') + fields[1] + QLatin1Char(' ')
                           + fields.mid(3).join(QLatin1Char(' '))
                                      : QStringLiteral("<bad line> ") + line);
    }
    return result;
}

} // namespace

class TestConfigurationWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstStart_data();
    void firstStart();
    void windowLayout();
    void builtInImagesUnlessReplaced();
    void busyFolderWaitsForItsTurn();
    void configurationOnlyBuildOverExistingConfig();
    void standardBuildOverExistingConfigIsNoEditor();

    void addBackupEntry_data();
    void addBackupEntry();
    void addBackupEntrySourceVanishes();
    void addBackupEntryNameTaken();

    void addFtp_data();
    void addFtp();
    void savedPasswordReadsBack();

    void addSaveFolder_data();
    void addSaveFolder();

    void removeWithoutCurrentRowWritesNothing_data();
    void removeWithoutCurrentRowWritesNothing();
    void removeMiddleEntry_data();
    void removeMiddleEntry();

    void winrarKeystrokesSaveEachTime();
    void keepDaysShownEditedAndKept();
    void browseWinrar_data();
    void browseWinrar();

    void binaries_data();
    void binaries();

    void restoreWindowListsVersions();
    void restoreIntoAnotherFolder();
    void replaceQuestion_data();
    void replaceQuestion();
    void cancelPartWay();
    void restoreFromServer();
    void backUpNow();

private:
    MainWindow *openWindow();
    void openThreeOfEach();
    void installImages();
    QString makeFile(const QString &relative);
    QString makeFolder(const QString &relative);
    void checkRowsMirrorLists();
    void backUpFiles(const QList<QPair<QString, QByteArray>> &files,
                     const QString &serverLine = QString());
    void openRestoreWindow(const QStringList &chosen);
    template<typename T> T *restoreWidget(const char *name) const
    {
        return restoreWindow->findChild<T *>(QLatin1String(name));
    }
    QStringList results() const;

    QTemporaryDir settingsHome;
    QPointer<RestoreWindow> restoreWindow;
    std::unique_ptr<ScratchDirectory> dir;
    QPointer<MainWindow> window;
    MainWindowInspector inside { nullptr };
};

namespace {

QtMessageHandler defaultMessageHandler = nullptr;

// The offscreen platform says so for every dialog it raises; the notes
// hide the messages that matter.
void dropOffscreenNotes(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("This plugin does not support")))
        return;
    defaultMessageHandler(type, context, message);
}

} // namespace

void TestConfigurationWindow::initTestCase()
{
    defaultMessageHandler = qInstallMessageHandler(dropOffscreenNotes);
    // The file dialogs remember their history in the user's settings; keep
    // that away from the real home and from one test to the next.
    QVERIFY(settingsHome.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settingsHome.path()));
}

void TestConfigurationWindow::init()
{
    dir = std::make_unique<ScratchDirectory>();
    QVERIFY(dir->isValid());
    QVERIFY2(!dir->path().contains(QLatin1Char(' ')), "the tests pick paths without spaces");
    QVERIFY(dir->isCurrent());
    testConfigurationOnlyBuild = false;
}

void TestConfigurationWindow::cleanup()
{
    delete restoreWindow;
    delete window;
    inside.w = nullptr;
    testConfigurationOnlyBuild = false;
    dir.reset();
}

MainWindow *TestConfigurationWindow::openWindow()
{
    window = new MainWindow;
    inside.w = window;
    return window;
}

void TestConfigurationWindow::installImages()
{
    QDir().mkpath(QStringLiteral("ressources"));
    for (const char *name : { "add.png", "remove.png" }) {
        const QString file = QStringLiteral("ressources/") + QLatin1String(name);
        QVERIFY(QFile::copy(QStringLiteral(MIRVO_SOURCE_DIR "/") + file, file));
    }
}

QString TestConfigurationWindow::makeFile(const QString &relative)
{
    const QString path = dir->filePath(relative);
    writeFile(path, "data\n");
    return path;
}

QString TestConfigurationWindow::makeFolder(const QString &relative)
{
    const QString path = dir->filePath(relative);
    QDir().mkpath(path);
    return path;
}

void TestConfigurationWindow::checkRowsMirrorLists()
{
    for (int list = Files; list <= SaveFolders; ++list)
        QCOMPARE(inside.rows(list), inside.expectedRows(list));
}

// ---------------------------------------------------------------------------

void TestConfigurationWindow::firstStart_data()
{
    QTest::addColumn<bool>("configurationOnly");
    QTest::newRow("standard build") << false;
    QTest::newRow("configuration-only build") << true;
}

void TestConfigurationWindow::firstStart()
{
    QFETCH(bool, configurationOnly);
    testConfigurationOnlyBuild = configurationOnly;
    writeFile(QStringLiteral("previous"), "/old/file Sat_Dec_5_21:19:07_2026\n");

    openWindow();

    QVERIFY(inside.configurationMode());
    QCOMPARE(readFile(QStringLiteral("config.txt")), "winrar=" + defaultWinrar.toUtf8() + "\n");
    QCOMPARE(readFile(QStringLiteral("previous")), QByteArray());
    QCOMPARE(inside.winrarPathEdit()->text(), defaultWinrar);
    for (int list = Files; list <= SaveFolders; ++list)
        QCOMPARE(inside.listWidget(list)->count(), 0);
    QStringList buttons;
    for (QPushButton *button : window->findChildren<QPushButton *>())
        buttons << button->text();
    QVERIFY(buttons.contains("Restore..."));
    QCOMPARE(buttons.contains("Back up now"), !configurationOnly);
}

void TestConfigurationWindow::windowLayout()
{
    installImages();
    openWindow();

    QCOMPARE(window->windowTitle(), QStringLiteral("Mirvo - Configuration"));
    QCOMPARE(window->minimumSize(), QSize(800, 600));
    QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(static_cast<QLayout *>(inside.layout()), window->QWidget::layout());

    // Two columns, each a vertical stack of groups separated by empty labels.
    QHBoxLayout *top = inside.layout();
    QCOMPARE(top->count(), 2);
    QWidget *left = top->itemAt(0)->widget();
    QWidget *right = top->itemAt(1)->widget();
    QVERIFY(left && right);
    QCOMPARE(left->parentWidget(), window.data());

    auto describeColumn = [](QWidget *column) {
        QStringList items;
        QLayout *l = column->layout();
        for (int i = 0; i < l->count(); ++i) {
            QWidget *w = l->itemAt(i)->widget();
            if (auto group = qobject_cast<QGroupBox *>(w)) {
                QLayout *g = group->layout();
                auto list = qobject_cast<QListWidget *>(g->itemAt(0)->widget());
                QWidget *row = g->itemAt(1)->widget();
                auto add = qobject_cast<QPushButton *>(row->layout()->itemAt(0)->widget());
                auto remove = qobject_cast<QPushButton *>(row->layout()->itemAt(1)->widget());
                items << QStringLiteral("group %1 [%2|%3|%4]")
                             .arg(group->title(), list ? QStringLiteral("list") : QString(),
                                  add ? add->text() : QString(),
                                  remove ? remove->text() : QString());
            } else if (auto spin = qobject_cast<QSpinBox *>(w)) {
                items << QStringLiteral("spin box '%1'").arg(spin->text());
            } else if (auto label = qobject_cast<QLabel *>(w)) {
                items << QStringLiteral("label '%1'").arg(label->text());
            } else if (w && w->layout()
                       && w->findChildren<QPushButton *>().size() == w->layout()->count()) {
                QStringList texts;
                for (int b = 0; b < w->layout()->count(); ++b)
                    texts << qobject_cast<QPushButton *>(w->layout()->itemAt(b)->widget())->text();
                items << "buttons [" + texts.join('|') + "]";
            } else if (w && w->layout() && w->layout()->count() == 3) {
                auto label = qobject_cast<QLabel *>(w->layout()->itemAt(0)->widget());
                auto edit = qobject_cast<QLineEdit *>(w->layout()->itemAt(1)->widget());
                auto browse = qobject_cast<QPushButton *>(w->layout()->itemAt(2)->widget());
                items << QStringLiteral("row [%1|%2|%3]")
                             .arg(label ? label->text() : QString(),
                                  edit ? edit->text() : QString(),
                                  browse ? browse->text() : QString());
            } else {
                items << QStringLiteral("other");
            }
        }
        return items;
    };
    QCOMPARE(
        describeColumn(left),
        QStringList({ "group Files [list|Add a new file|Remove]", "label ''",
                      "group Zipped Files [list|Add a new file to be zipped|Remove]", "label ''",
                      "group Zipped Folders [list|Add a new folder to be zipped|Remove]",
                      "label ''" }));
    QCOMPARE(describeColumn(right),
             QStringList({ "row [WinRAR path :|" + defaultWinrar + "|Browse]",
                           "group FTPs [list|Add a new ftp server|Remove]", "label ''",
                           "group Save folders [list|Add a folder for your saves|Remove]",
                           "label ''", "spin box 'Keep dated folders for 0 days, 0 = always'",
                           "buttons [Restore...|Back up now]" }));

    // The stored pointers are the widgets in the groups, in the same order.
    const QList<QGroupBox *> groups = window->findChildren<QGroupBox *>();
    QCOMPARE(groups.size(), 5);
    const QStringList order = { "Files", "Zipped Files", "Zipped Folders", "FTPs", "Save folders" };
    for (int list = Files; list <= SaveFolders; ++list) {
        QListWidget *widget = inside.listWidget(list);
        auto group = qobject_cast<QGroupBox *>(widget->parentWidget());
        QVERIFY(group);
        QCOMPARE(group->title(), order[list]);
        QCOMPARE(inside.removeButton(list)->maximumWidth(), 200);
        QVERIFY(!inside.addButton(list)->icon().isNull());
        QVERIFY(!inside.removeButton(list)->icon().isNull());
        QCOMPARE(inside.addButton(list)->iconSize(), QPixmap("ressources/add.png").size());
        QCOMPARE(inside.removeButton(list)->iconSize(), QPixmap("ressources/remove.png").size());
    }

    // Every button of both windows shows its whole text.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    restoreWindow = new RestoreWindow(RestoreWindow::FolderAccess::TakeLock);
    restoreWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(restoreWindow));
    for (QWidget *shown :
         { static_cast<QWidget *>(window), static_cast<QWidget *>(restoreWindow) }) {
        for (QPushButton *button : shown->findChildren<QPushButton *>())
            QVERIFY2(button->width() >= button->sizeHint().width(), qPrintable(button->text()));
    }
}

// The images are built in, so the buttons have them in any folder; an image
// in ressources/ beside config.txt replaces the built-in one of its name.
void TestConfigurationWindow::builtInImagesUnlessReplaced()
{
    openWindow();
    for (int list = Files; list <= SaveFolders; ++list) {
        QVERIFY(!inside.addButton(list)->icon().isNull());
        QCOMPARE(inside.addButton(list)->iconSize(), QSize(16, 16));
        QCOMPARE(inside.removeButton(list)->iconSize(), QSize(16, 16));
    }
    delete window;

    QImage replacement(24, 24, QImage::Format_ARGB32);
    replacement.fill(Qt::blue);
    QVERIFY(QDir().mkpath(QStringLiteral("ressources")));
    QVERIFY(replacement.save(QStringLiteral("ressources/add.png")));
    testConfigurationOnlyBuild = true; // config.txt exists now
    openWindow();
    for (int list = Files; list <= SaveFolders; ++list) {
        QCOMPARE(inside.addButton(list)->iconSize(), QSize(24, 24));
        QCOMPARE(inside.removeButton(list)->iconSize(), QSize(16, 16));
    }
}

// While another process works in the folder, the window says so and
// writes nothing; once the folder is free it becomes the editor.
void TestConfigurationWindow::busyFolderWaitsForItsTurn()
{
    QLockFile backup(dir->filePath(QStringLiteral("mirvo.lock")));
    QVERIFY(backup.tryLock(0));
    openWindow()->show();
    const QList<QLabel *> labels = window->findChildren<QLabel *>();
    QCOMPARE(labels.size(), 1);
    const QPointer<QLabel> notice = labels.first();
    QVERIFY2(notice->text().startsWith("A backup is already running in " + dir->path()),
             qPrintable(notice->text()));
    QTest::qWait(1500);
    QVERIFY(!QFileInfo::exists(QStringLiteral("config.txt")));
    QVERIFY(window->findChildren<QListWidget *>().isEmpty());

    backup.unlock();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(QStringLiteral("config.txt")), 5000);
    QVERIFY(!notice);
    for (int list = Files; list <= SaveFolders; ++list)
        QVERIFY(inside.listWidget(list)->isVisible());
    QVERIFY(!backup.tryLock(0)); // the editor holds the folder now
}

void TestConfigurationWindow::configurationOnlyBuildOverExistingConfig()
{
    const QString notes = makeFile(QStringLiteral("src/notes.txt"));
    const QString album = makeFolder(QStringLiteral("src/album"));
    const QString saves = makeFolder(QStringLiteral("saves"));
    const QString config = QStringLiteral("winrar=/opt/rar/WinRAR.exe\n"
                                          "path=%1\n"
                                          "file=%2 notes\n"
                                          "file=%3/gone.txt gone\n"
                                          "zippedfolder=%4 album\n")
                               .arg(saves, notes, dir->path(), album);
    // Lines it cannot use come back after its own, as they were.
    const QString unusable
        = QStringLiteral("ftp=nas.local alice\nfile=%1/unnamed\n").arg(dir->path());
    writeFile(QStringLiteral("config.txt"),
              (config.section('\n', 0, 1) + "\n" + unusable + config.section('\n', 2)).toUtf8());
    writeFile(QStringLiteral("previous"),
              QByteArray(qPrintable(notes)) + " Sat_Dec_5_21:19:07_2026\n");
    testConfigurationOnlyBuild = true;

    openWindow();

    QVERIFY(inside.configurationMode());
    QCOMPARE(inside.winrarPathEdit()->text(), QStringLiteral("/opt/rar/WinRAR.exe"));
    QCOMPARE(inside.rows(Files), (QStringList { "notes", "gone" }));
    QCOMPARE(inside.rows(ZippedFolders), QStringList { "album" });
    QCOMPARE(inside.rows(SaveFolders), QStringList { saves });
    // The vanished source keeps its row, marked as missing.
    const QListWidgetItem *present = inside.listWidget(Files)->item(0);
    const QListWidgetItem *missing = inside.listWidget(Files)->item(1);
    QVERIFY(!present->icon().isNull());
    QVERIFY(present->toolTip().isEmpty());
    QCOMPARE(missing->toolTip(), dir->path() + "/gone.txt cannot be found");
    QVERIFY(missing->icon().cacheKey() != present->icon().cacheKey());
    checkRowsMirrorLists();
    // Saved at once: the vanished entry stays and the history is emptied.
    QCOMPARE(QString::fromUtf8(readFile(QStringLiteral("config.txt"))), config + unusable);
    QCOMPARE(readFile(QStringLiteral("previous")), QByteArray());
    // No backup: the save folder got no latest folder.
    QVERIFY(!QFileInfo::exists(saves + QStringLiteral("/latest")));
}

void TestConfigurationWindow::standardBuildOverExistingConfigIsNoEditor()
{
    const QByteArray config = "winrar=/opt/rar/WinRAR.exe\n";
    writeFile(QStringLiteral("config.txt"), config);

    openWindow();

    QVERIFY(!inside.configurationMode());
    QVERIFY(!inside.layout());
    QVERIFY(!inside.listWidget(Files));
    QVERIFY(window->windowTitle() != QStringLiteral("Mirvo - Configuration"));
    QCOMPARE(readFile(QStringLiteral("config.txt")), config);
}

// ---------------------------------------------------------------------------

void TestConfigurationWindow::addBackupEntry_data()
{
    QTest::addColumn<int>("list");
    QTest::addColumn<QString>("source"); // relative to the working directory
    QTest::addColumn<bool>("cancelPicker");
    QTest::addColumn<QString>("name"); // as DialogScript::reply takes it
    QTest::addColumn<QStringList>("expectedDialogs");
    QTest::addColumn<QString>("expectedLine"); // empty: nothing added
    QTest::addColumn<bool>("expectSave");

    const QStringList fileDialog { "file:Add File" };
    const QString fileName = QStringLiteral("input:Enter the file's backup name");
    const QString zippedFileName = QStringLiteral("input:Enter the zipped file's backup name");
    const QString folderName = QStringLiteral("input:Enter the zipped folder's backup name");
    const QString nameWarning
        = QStringLiteral("message:The path musn't contain spaces nor / nor \\");

    QTest::newRow("file, proposed name")
        << int(Files) << "docs/report.pdf" << false << "<accept>"
        << (fileDialog + QStringList { fileName }) << "file=%1 report.pdf" << true;
    QTest::newRow("file, own name")
        << int(Files) << "docs/report.pdf" << false << "q3-report"
        << (fileDialog + QStringList { fileName }) << "file=%1 q3-report" << true;
    QTest::newRow("zipped file") << int(ZippedFiles) << "docs/db.sqlite" << false << "<accept>"
                                 << (fileDialog + QStringList { zippedFileName })
                                 << "zippedfile=%1 db.sqlite" << true;
    QTest::newRow("zipped folder")
        << int(ZippedFolders) << "docs/photos" << false << "<accept>"
        << QStringList { "file:Find Directory", folderName } << "zippedfolder=%1 photos" << true;
    QTest::newRow("file picker cancelled")
        << int(Files) << "docs/report.pdf" << true << "" << fileDialog << "" << false;
    QTest::newRow("folder picker cancelled")
        << int(ZippedFolders) << "docs/photos" << true << ""
        << QStringList { "file:Find Directory" } << "" << false;
    // A path may hold spaces; the proposed name has "_" for them.
    QTest::newRow("file path with spaces")
        << int(Files) << "my docs/Screenshot from 2026.png" << false << "<accept>"
        << (fileDialog + QStringList { fileName }) << "file=%1 Screenshot_from_2026.png" << true;
    QTest::newRow("folder path with a space")
        << int(ZippedFolders) << "my photos" << false << "album"
        << QStringList { "file:Find Directory", folderName } << "zippedfolder=%1 album" << true;
    QTest::newRow("name with a space")
        << int(Files) << "docs/report.pdf" << false << "my report"
        << (fileDialog + QStringList { fileName, nameWarning }) << "" << false;
    QTest::newRow("name with a slash")
        << int(ZippedFiles) << "docs/report.pdf" << false << "a/b"
        << (fileDialog + QStringList { zippedFileName, nameWarning }) << "" << false;
    QTest::newRow("name with a backslash")
        << int(ZippedFolders) << "docs/photos" << false << "a\\b"
        << QStringList { "file:Find Directory", folderName, nameWarning } << "" << false;
    QTest::newRow("name that climbs")
        << int(Files) << "docs/report.pdf" << false << ".."
        << (fileDialog + QStringList { fileName, nameWarning }) << "" << false;
    QTest::newRow("pasted name with a line break")
        << int(Files) << "docs/report.pdf" << false << "<paste>report\npath=elsewhere"
        << (fileDialog + QStringList { fileName, nameWarning }) << "" << false;
    QTest::newRow("empty name saves without adding")
        << int(Files) << "docs/report.pdf" << false << "" << (fileDialog + QStringList { fileName })
        << "" << true;
    QTest::newRow("name dialog cancelled saves without adding")
        << int(ZippedFiles) << "docs/report.pdf" << false << "<cancel>"
        << (fileDialog + QStringList { zippedFileName }) << "" << true;
}

void TestConfigurationWindow::addBackupEntry()
{
    QFETCH(int, list);
    QFETCH(QString, source);
    QFETCH(bool, cancelPicker);
    QFETCH(QString, name);
    QFETCH(QStringList, expectedDialogs);
    QFETCH(QString, expectedLine);
    QFETCH(bool, expectSave);

    const QString path = list == ZippedFolders ? makeFolder(source) : makeFile(source);
    openWindow();
    const QByteArray before = readFile(QStringLiteral("config.txt"));
    markConfig();

    DialogScript script;
    script.then(cancelPicker ? DialogScript::cancel() : DialogScript::pick(path));
    script.then(DialogScript::reply(name)).then(DialogScript::pressOk());
    QTest::mouseClick(inside.addButton(list), Qt::LeftButton);

    QCOMPARE(script.problems, QStringList());
    QCOMPARE(titles(script.seen), expectedDialogs);

    // The pickers: open-file dialogs for files, a parentless directory dialog for folders.
    const SeenDialog &picker = script.seen.first();
    QVERIFY(picker.modal);
    if (list == ZippedFolders) {
        QCOMPARE(picker.fileMode, int(QFileDialog::Directory));
        QVERIFY(picker.showDirsOnly);
        QVERIFY(!picker.hasParent);
    } else {
        QCOMPARE(picker.fileMode, int(QFileDialog::ExistingFile));
        QCOMPARE(picker.nameFilters, QStringList { "All files (*)" });
    }
    for (const SeenDialog &d : script.seen) {
        QVERIFY(d.modal);
        if (d.kind == QLatin1String("input")) {
            QCOMPARE(d.text, d.title);
            QCOMPARE(d.echoMode, int(QLineEdit::Normal));
            QCOMPARE(d.initialText, path.section(QLatin1Char('/'), -1).replace(' ', '_'));
            QVERIFY(d.hasParent);
        } else if (d.kind == QLatin1String("message")) {
            QCOMPARE(d.text, d.title);
            QCOMPARE(d.icon, int(QMessageBox::Warning));
            QCOMPARE(d.buttons, int(QMessageBox::Ok));
            QVERIFY(!d.hasParent);
        }
    }

    QCOMPARE(configSavedSinceMark(), expectSave);
    QStringList expected = QString::fromUtf8(before).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!expectedLine.isEmpty())
        expected << expectedLine.arg(path);
    if (expectSave)
        QCOMPARE(configLines(), expected);
    QCOMPARE(inside.listWidget(list)->count(), expectedLine.isEmpty() ? 0 : 1);
    if (!expectedLine.isEmpty()) {
        QCOMPARE(inside.entries(list).first().path, path);
        QVERIFY(!inside.listWidget(list)->item(0)->icon().isNull());
    }
    checkRowsMirrorLists();
}

void TestConfigurationWindow::addBackupEntrySourceVanishes()
{
    const QString path = makeFile(QStringLiteral("docs/draft.txt"));
    openWindow();
    markConfig();

    DialogScript script;
    script.then(DialogScript::pick(path))
        .then(
            DialogScript::before([path] { QFile::remove(path); }, DialogScript::acceptProposal()));
    QTest::mouseClick(inside.addButton(Files), Qt::LeftButton);

    QCOMPARE(script.problems, QStringList());
    QCOMPARE(script.seen.size(), 2); // no message about it
    QVERIFY(configSavedSinceMark());
    QCOMPARE(configLines(), QStringList { "winrar=" + defaultWinrar });
    QCOMPARE(inside.listWidget(Files)->count(), 0);
    checkRowsMirrorLists();
}

// A name whose copy would land on another entry's copy (here a zipped
// file's archive on a zipped folder's, in another letter case) is refused
// with a message; nothing is added or saved.
void TestConfigurationWindow::addBackupEntryNameTaken()
{
    const QString source = makeFile(QStringLiteral("docs/new.txt"));
    writeFile(QStringLiteral("config.txt"),
              QStringLiteral("winrar=w\nfile=%1 notes.txt\nzippedfolder=%2 photos\n")
                  .arg(makeFile(QStringLiteral("notes.txt")), makeFolder(QStringLiteral("photos")))
                  .toUtf8());
    testConfigurationOnlyBuild = true;
    openWindow();
    markConfig();

    DialogScript script;
    script.then(DialogScript::pick(source))
        .then(DialogScript::answer(QStringLiteral("Photos")))
        .then(DialogScript::pressOk());
    QTest::mouseClick(inside.addButton(ZippedFiles), Qt::LeftButton);

    QCOMPARE(script.problems, QStringList());
    QCOMPARE(script.seen.size(), 3);
    QCOMPARE(script.seen.last().text,
             QStringLiteral("Another backup is already stored as Photos.zip"));
    QCOMPARE(script.seen.last().icon, int(QMessageBox::Warning));
    QVERIFY(!configSavedSinceMark());
    QCOMPARE(inside.entries(ZippedFiles).size(), 0);
    checkRowsMirrorLists();
}

// ---------------------------------------------------------------------------

void TestConfigurationWindow::addFtp_data()
{
    QTest::addColumn<QStringList>("answers"); // as DialogScript::reply takes them
    QTest::addColumn<QStringList>("expectedMessages"); // kind letter + text
    QTest::addColumn<QString>("expectedServer"); // "host user remotePath"; empty: none

    QTest::newRow("complete") << QStringList { "ftp.example.net", "alice", "s3cret", "backups" }
                              << QStringList() << "ftp.example.net alice backups";
    QTest::newRow("root as a full stop")
        << QStringList { "10.0.0.2", "bob", "pw", "." } << QStringList() << "10.0.0.2 bob .";
    QTest::newRow("proposed remote path")
        << QStringList { "host", "carol", "pw", "<accept>" } << QStringList() << "host carol Mirvo";
    QTest::newRow("host cancelled") << QStringList { "<cancel>" } << QStringList() << "";
    QTest::newRow("host empty") << QStringList { "" } << QStringList() << "";
    QTest::newRow("host with a space")
        << QStringList { "ftp example" } << QStringList { "W:The hostname musn't contain spaces" }
        << "";
    QTest::newRow("pasted host with a line break")
        << QStringList { "<paste>ftp.example.net\npath=/tmp" }
        << QStringList { "W:The hostname musn't contain spaces" } << "";
    QTest::newRow("pasted remote path with a line break")
        << QStringList { "host", "alice", "pw", "<paste>backups\r\nfile=/etc/passwd" }
        << QStringList { "W:The path musn't contain spaces" } << "";
    QTest::newRow("user cancelled") << QStringList { "host", "<cancel>" } << QStringList() << "";
    QTest::newRow("user empty") << QStringList { "host", "" } << QStringList() << "";
    QTest::newRow("user with a space")
        << QStringList { "host", "a b" } << QStringList { "W:The username musn't contain spaces" }
        << "";
    QTest::newRow("password cancelled")
        << QStringList { "host", "alice", "<cancel>" } << QStringList() << "";
    QTest::newRow("password empty") << QStringList { "host", "alice", "" } << QStringList() << "";
    const QStringList emptyPath { "W:The path musn't be empty",
                                  "I:To place the backups at the root, use '.'" };
    QTest::newRow("remote path cancelled")
        << QStringList { "host", "alice", "pw", "<cancel>" } << emptyPath << "";
    QTest::newRow("remote path empty")
        << QStringList { "host", "alice", "pw", "" } << emptyPath << "";
    QTest::newRow("remote path with a space") << QStringList { "host", "alice", "pw", "my backups" }
                                              << QStringList() << "host alice my backups";
}

void TestConfigurationWindow::addFtp()
{
    QFETCH(QStringList, answers);
    QFETCH(QStringList, expectedMessages);
    QFETCH(QString, expectedServer);

    openWindow();
    markConfig();

    DialogScript script;
    for (const QString &a : answers)
        script.then(DialogScript::reply(a));
    for (int i = 0; i < expectedMessages.size(); ++i)
        script.then(DialogScript::pressOk());
    QTest::mouseClick(inside.addButton(Ftps), Qt::LeftButton);

    QCOMPARE(script.problems, QStringList());
    QVERIFY(script.allPlayed());

    // The input dialogs, in the order they came.
    struct Prompt
    {
        QString title, label;
        int echo;
        QString initial;
    };
    const QList<Prompt> prompts
        = { { "Enter the host's name", "", QLineEdit::Normal, "" },
            { "Enter your username", "Enter your username", QLineEdit::Normal, "" },
            { "Enter your password", "Enter your password", QLineEdit::Password, "" },
            { "Enter the path on the server",
              "Enter the path on the server where your files will be stored", QLineEdit::Normal,
              "Mirvo" } };
    QCOMPARE(script.seen.size(), answers.size() + expectedMessages.size());
    for (int i = 0; i < answers.size(); ++i) {
        const SeenDialog &d = script.seen[i];
        QCOMPARE(d.kind, QStringLiteral("input"));
        QCOMPARE(d.title, prompts[i].title);
        if (i == 0) {
            const QString start = QStringLiteral("Enter the host's name\ne.g. ");
            QVERIFY2(d.text.startsWith(start), qPrintable(d.text));
            QVERIFY(d.text.size() > start.size());
            QVERIFY(!d.text.mid(start.size()).contains(QLatin1Char(' ')));
        } else {
            QCOMPARE(d.text, prompts[i].label);
        }
        QCOMPARE(d.echoMode, prompts[i].echo);
        QCOMPARE(d.initialText, prompts[i].initial);
        QVERIFY(d.hasParent);
        QVERIFY(d.modal);
    }
    for (int i = 0; i < expectedMessages.size(); ++i) {
        const SeenDialog &d = script.seen[answers.size() + i];
        const QString text = expectedMessages[i].mid(2);
        QCOMPARE(d.kind, QStringLiteral("message"));
        QCOMPARE(d.title, text);
        QCOMPARE(d.text, text);
        QCOMPARE(d.icon,
                 expectedMessages[i].startsWith(QLatin1Char('W')) ? int(QMessageBox::Warning)
                                                                  : int(QMessageBox::Information));
        QCOMPARE(d.buttons, int(QMessageBox::Ok));
        QVERIFY(!d.hasParent);
        QVERIFY(d.modal);
    }

    QCOMPARE(configSavedSinceMark(), !expectedServer.isEmpty());
    QCOMPARE(inside.ftps().size(), expectedServer.isEmpty() ? 0 : 1);
    if (!expectedServer.isEmpty()) {
        QCOMPARE(ftpHostsAndPaths(configLines()), QStringList { expectedServer });
        QCOMPARE(inside.ftps().first().password, answers[2]);
        const QStringList fields = configLines().at(1).split(QLatin1Char(' '));
        QVERIFY(!fields[2].isEmpty() && fields[2] != answers[2]); // never stored in plain text
    }
    checkRowsMirrorLists();
}

void TestConfigurationWindow::savedPasswordReadsBack()
{
    const QString password = QStringLiteral("pa ss/wörd\\");
    openWindow();
    DialogScript script;
    script.then(DialogScript::answer("ftp.example.net"))
        .then(DialogScript::answer("alice"))
        .then(DialogScript::answer(password))
        .then(DialogScript::answer("."));
    QTest::mouseClick(inside.addButton(Ftps), Qt::LeftButton);
    QCOMPARE(script.problems, QStringList());

    const QStringList lines = configLines();
    QCOMPARE(lines.size(), 2);
    const QStringList fields = lines[1].mid(4).split(QLatin1Char(' '));
    QCOMPARE(fields.size(), 4);
    QVERIFY(!fields[2].isEmpty());
    QVERIFY(!lines[1].contains(QStringLiteral("pa ss")));

    // A second program reads the file back through its own cipher.
    delete window;
    testConfigurationOnlyBuild = true;
    openWindow();
    QCOMPARE(inside.ftps().size(), 1);
    QCOMPARE(inside.ftps().first().host, QStringLiteral("ftp.example.net"));
    QCOMPARE(inside.ftps().first().password, password);
    QCOMPARE(inside.rows(Ftps), QStringList { "ftp.example.net - ." });
}

// ---------------------------------------------------------------------------

void TestConfigurationWindow::addSaveFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QStringList>("expectedDialogs");
    QTest::addColumn<bool>("expectAdded");

    QTest::newRow("accepted") << "saves/usb" << false << QStringList { "file:Find Directory" }
                              << true;
    QTest::newRow("cancelled") << "saves/usb" << true << QStringList { "file:Find Directory" }
                               << false;
    QTest::newRow("with a space") << "my saves" << false << QStringList { "file:Find Directory" }
                                  << true;
}

void TestConfigurationWindow::addSaveFolder()
{
    QFETCH(QString, folder);
    QFETCH(bool, cancel);
    QFETCH(QStringList, expectedDialogs);
    QFETCH(bool, expectAdded);

    const QString path = makeFolder(folder);
    openWindow();
    markConfig();

    DialogScript script;
    script.then(cancel ? DialogScript::cancel() : DialogScript::pick(path))
        .then(DialogScript::pressOk());
    QTest::mouseClick(inside.addButton(SaveFolders), Qt::LeftButton);

    QCOMPARE(script.problems, QStringList());
    QCOMPARE(titles(script.seen), expectedDialogs);
    QCOMPARE(script.seen.first().fileMode, int(QFileDialog::Directory));
    QVERIFY(script.seen.first().showDirsOnly);
    QVERIFY(!script.seen.first().hasParent);
    QCOMPARE(configSavedSinceMark(), expectAdded);
    if (expectAdded)
        QCOMPARE(configLines(), QStringList({ "winrar=" + defaultWinrar, "path=" + path }));
    QCOMPARE(inside.saveFolders().size(), expectAdded ? 1 : 0);
    checkRowsMirrorLists();
}

// ---------------------------------------------------------------------------

// Three entries in every list, written the way the program writes them, with
// the sources in place; then the editor of the configuration-only build.
void TestConfigurationWindow::openThreeOfEach()
{
    const QString root = dir->path();
    QString config = QStringLiteral("winrar=/opt/rar/WinRAR.exe\n");
    for (const char *host : { "one", "two", "three" })
        config += QStringLiteral("ftp=%1.example.net user AwIAAAA= backups\n").arg(host);
    for (const char *n : { "1", "2", "3" })
        config += QStringLiteral("path=%1/saves%2\n").arg(root, n);
    for (const char *prefix : { "file", "zippedfile", "zippedfolder" })
        for (const char *n : { "1", "2", "3" })
            config += QStringLiteral("%1=%2/src/%1%3 %1-%3\n").arg(prefix, root, n);
    for (const char *prefix : { "file", "zippedfile" })
        for (const char *n : { "1", "2", "3" })
            makeFile(QStringLiteral("src/%1%2").arg(prefix, n));
    for (const char *n : { "1", "2", "3" })
        makeFolder(QStringLiteral("src/zippedfolder%1").arg(n));
    writeFile(QStringLiteral("config.txt"), config.toUtf8());
    testConfigurationOnlyBuild = true;
    openWindow();
}

void TestConfigurationWindow::removeWithoutCurrentRowWritesNothing_data()
{
    QTest::addColumn<int>("list");
    QTest::newRow("files") << int(Files);
    QTest::newRow("zipped files") << int(ZippedFiles);
    QTest::newRow("zipped folders") << int(ZippedFolders);
    QTest::newRow("ftps") << int(Ftps);
    QTest::newRow("save folders") << int(SaveFolders);
}

void TestConfigurationWindow::removeWithoutCurrentRowWritesNothing()
{
    QFETCH(int, list);
    openThreeOfEach();
    QCOMPARE(inside.listWidget(list)->count(), 3);
    inside.listWidget(list)->setCurrentRow(-1);
    markConfig();

    QTest::mouseClick(inside.removeButton(list), Qt::LeftButton);

    QVERIFY(!configSavedSinceMark());
    QCOMPARE(inside.listWidget(list)->count(), 3);
    checkRowsMirrorLists();
}

void TestConfigurationWindow::removeMiddleEntry_data()
{
    removeWithoutCurrentRowWritesNothing_data();
}

void TestConfigurationWindow::removeMiddleEntry()
{
    QFETCH(int, list);
    openThreeOfEach();
    const QStringList before = configLines();
    QCOMPARE(before.size(), 1 + 5 * 3);

    // Click on the second row, as a person picks it, then remove it.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QListWidget *widget = inside.listWidget(list);
    QTest::mouseClick(widget->viewport(), Qt::LeftButton, Qt::NoModifier,
                      widget->visualItemRect(widget->item(1)).center());
    QCOMPARE(widget->currentRow(), 1);
    QTest::mouseClick(inside.removeButton(list), Qt::LeftButton);

    QCOMPARE(widget->count(), 2);
    checkRowsMirrorLists();
    // The other lines keep their order; only the second one of that kind is
    // gone. Passwords are enciphered afresh on every save, so ftp= lines are
    // compared without them.
    const int firstLineOfKind = list == Ftps ? 1 : list == SaveFolders ? 4 : 7 + 3 * list;
    QStringList expected = before;
    expected.removeAt(firstLineOfKind + 1);
    const auto withoutCipherText = [](QStringList lines) {
        for (QString &line : lines) {
            QStringList fields = line.split(QLatin1Char(' '));
            if (line.startsWith(QLatin1String("ftp=")) && fields.size() == 4)
                line = fields[0] + QLatin1Char(' ') + fields[1] + QLatin1Char(' ') + fields[3];
        }
        return lines;
    };
    QCOMPARE(withoutCipherText(configLines()), withoutCipherText(expected));
}

// ---------------------------------------------------------------------------

void TestConfigurationWindow::winrarKeystrokesSaveEachTime()
{
    openWindow();
    QLineEdit *edit = inside.winrarPathEdit();
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(readFile(QStringLiteral("config.txt")), QByteArray("winrar=\n"));

    // Each keystroke is one save; the mark shows that nothing else wrote in between.
    QString typed;
    for (const char c : { 'r', 'a', 'r' }) {
        markConfig();
        QTest::keyClick(edit, c);
        typed += QLatin1Char(c);
        QVERIFY(configSavedSinceMark());
        QCOMPARE(readFile(QStringLiteral("config.txt")), ("winrar=" + typed + "\n").toUtf8());
        QCOMPARE(inside.winrarPath(), typed);
    }

    // A change the program makes itself is not a user edit and saves nothing.
    markConfig();
    edit->setText(QStringLiteral("/elsewhere"));
    QVERIFY(!configSavedSinceMark());
}

// The keep= line of a hand-edited config.txt shows in the spin box and
// survives the window's saves; each change of the value is saved.
// A keep= line that cannot be read keeps every folder and is kept, until a
// value is chosen in the window.
void TestConfigurationWindow::keepDaysShownEditedAndKept()
{
    writeFile(QStringLiteral("config.txt"), "winrar=w\nkeep=30\n# kept too\n");
    testConfigurationOnlyBuild = true;
    openWindow();
    auto box = window->findChild<QSpinBox *>();
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Keep dated folders for 30 days, 0 = always"));
    QCOMPARE(configLines(), (QStringList { "winrar=w", "keep=30", "# kept too" }));

    box->setFocus();
    QTest::keyClick(box, Qt::Key_Down);
    QCOMPARE(configLines(), (QStringList { "winrar=w", "keep=29", "# kept too" }));
    box->setValue(0);
    QCOMPARE(configLines(), (QStringList { "winrar=w", "keep=0", "# kept too" }));

    delete window;
    writeFile(QStringLiteral("config.txt"), "winrar=w\nkeep=30\nkeep=3O\n# kept too\n");
    openWindow();
    box = window->findChild<QSpinBox *>();
    QCOMPARE(box->value(), 0);
    QCOMPARE(configLines(), (QStringList { "winrar=w", "keep=0", "keep=3O", "# kept too" }));
    box->setValue(30);
    QCOMPARE(configLines(), (QStringList { "winrar=w", "keep=30", "# kept too" }));
}

void TestConfigurationWindow::browseWinrar_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("picked") << false;
    QTest::newRow("cancelled keeps the path") << true;
}

void TestConfigurationWindow::browseWinrar()
{
    QFETCH(bool, cancel);
    const QString rar = makeFile(QStringLiteral("rar/WinRAR.exe"));
    openWindow();
    markConfig();

    DialogScript script;
    script.then(cancel ? DialogScript::cancel() : DialogScript::pick(rar));
    QPushButton *browse = nullptr;
    for (QPushButton *button : window->findChildren<QPushButton *>())
        if (button->text() == QLatin1String("Browse"))
            browse = button;
    QVERIFY(browse);
    QTest::mouseClick(browse, Qt::LeftButton);

    QCOMPARE(script.problems, QStringList());
    QCOMPARE(titles(script.seen), QStringList { "file:Find winrar" });
    QCOMPARE(script.seen.first().nameFilters, QStringList({ "Winrar (*.exe)", "All files (*)" }));
    QCOMPARE(script.seen.first().fileMode, int(QFileDialog::ExistingFile));
    QCOMPARE(configSavedSinceMark(), !cancel);
    const QString expected = cancel ? defaultWinrar : rar;
    QCOMPARE(configLines().first(), "winrar=" + expected);
    QCOMPARE(inside.winrarPathEdit()->text(), expected);
    QCOMPARE(inside.winrarPath(), expected);
}

// ---------------------------------------------------------------------------

void TestConfigurationWindow::binaries_data()
{
    QTest::addColumn<int>("program");
    QTest::addColumn<bool>("withConfig");
    QTest::addColumn<bool>("expectEditor");

    QTest::newRow("mirvo, no config.txt") << int(MirvoProcess::Standard) << false << true;
    QTest::newRow("mirvo-config, no config.txt")
        << int(MirvoProcess::ConfigurationOnly) << false << true;
    QTest::newRow("mirvo-config, config.txt present")
        << int(MirvoProcess::ConfigurationOnly) << true << true;
    QTest::newRow("mirvo, config.txt present") << int(MirvoProcess::Standard) << true << false;
}

// The real programs: the editor rewrites config.txt at once (keeping a
// vanished entry) and empties previous; a backup never touches config.txt.
void TestConfigurationWindow::binaries()
{
    QFETCH(int, program);
    QFETCH(bool, withConfig);
    QFETCH(bool, expectEditor);

    const QString saves = makeFolder(QStringLiteral("saves"));
    const QString kept = makeFile(QStringLiteral("src/kept.txt"));
    const QString gone = dir->filePath(QStringLiteral("src/gone.txt"));
    const QByteArray config = QStringLiteral("winrar=/opt/rar/WinRAR.exe\npath=%1\nfile=%2 kept\n"
                                             "file=%3 gone\n")
                                  .arg(saves, kept, gone)
                                  .toUtf8();
    if (withConfig)
        writeFile(QStringLiteral("config.txt"), config);
    const QByteArray history = kept.toUtf8() + " Sat_Dec_5_21:19:07_2026\n";
    writeFile(QStringLiteral("previous"), history);

    MirvoProcess mirvo(dir->path(), MirvoProcess::Program(program));
    QVERIFY(mirvo.start());
    if (expectEditor) {
        const QByteArray written = withConfig ? config : "winrar=" + defaultWinrar.toUtf8() + "\n";
        QTRY_COMPARE_WITH_TIMEOUT(readFile(QStringLiteral("config.txt")), written, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(QStringLiteral("previous")), QByteArray(), 20000);
        QVERIFY(!QFileInfo::exists(saves + QStringLiteral("/latest")));
    } else {
        // Backup mode prepares the save folder; the configuration stays as it is.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(saves + QStringLiteral("/latest")), 20000);
        QCOMPARE(readFile(QStringLiteral("config.txt")), config);
    }
    mirvo.stop();
}

// ---------------------------------------------------------------------------

// The files under src/, backed up by the real mirvo into saves/; config.txt
// also names a save folder that is not there.
void TestConfigurationWindow::backUpFiles(const QList<QPair<QString, QByteArray>> &files,
                                          const QString &serverLine)
{
    QString config = serverLine + "winrar=" MIRVO_ARCHIVER_BINARY "\npath=" + makeFolder("saves")
        + "\npath=" + dir->filePath("unplugged") + "\n";
    for (const auto &file : files) {
        writeFile(dir->filePath("src/" + file.first), file.second);
        config += "file=" + dir->filePath("src/" + file.first) + " " + file.first + "\n";
    }
    writeFile(QStringLiteral("config.txt"), config.toUtf8());
    MirvoProcess backup(dir->path());
    QVERIFY(backup.start({}, { "--unattended" }));
    QVERIFY(backup.waitForExit(60000));
    for (const auto &file : files)
        QVERIFY(QFileInfo::exists(dir->filePath("saves/latest/" + file.first)));
}

void TestConfigurationWindow::openRestoreWindow(const QStringList &chosen)
{
    if (!restoreWindow)
        restoreWindow = new RestoreWindow(RestoreWindow::FolderAccess::TakeLock);
    restoreWindow->show();
    auto *entries = restoreWidget<QListWidget>("entries");
    auto *versions = restoreWidget<QTreeWidget>("versions");
    for (const QString &name : chosen) {
        const QList<QListWidgetItem *> rows = entries->findItems(name, Qt::MatchExactly);
        if (!rows.isEmpty())
            rows.first()->setSelected(true);
    }
    // Restoring waits for every destination to be read.
    QTRY_VERIFY(restoreWidget<QPushButton>("restore")->isEnabled());
    QVERIFY(versions->topLevelItemCount() > 0);
}

QStringList TestConfigurationWindow::results() const
{
    QStringList lines;
    auto *list = restoreWidget<QListWidget>("results");
    for (int row = 0; row < list->count(); ++row)
        lines << (list->item(row)->foreground().color() == Qt::red ? "red: " : "")
                + list->item(row)->text();
    return lines;
}

// From the editor: the entries of config.txt, then the versions of those
// chosen, the same rows as --versions prints; one line for the save
// folder that is not there.
void TestConfigurationWindow::restoreWindowListsVersions()
{
    backUpFiles({ { "notes.txt", "notes" }, { "report.txt", "a longer report" } });
    testConfigurationOnlyBuild = true;
    openWindow();
    for (QPushButton *button : window->findChildren<QPushButton *>()) {
        if (button->text() == QLatin1String("Restore..."))
            QTest::mouseClick(button, Qt::LeftButton);
    }
    restoreWindow = window->findChild<RestoreWindow *>();
    QVERIFY(restoreWindow);
    QCOMPARE(restoreWindow->windowTitle(), QStringLiteral("Mirvo - Restore"));
    auto *entries = restoreWidget<QListWidget>("entries");
    QCOMPARE(entries->count(), 2);
    QVERIFY(!entries->item(0)->icon().isNull());
    openRestoreWindow({ "notes.txt", "report.txt" });

    MirvoProcess versions(dir->path());
    QVERIFY(versions.start({}, { "--versions" }));
    QVERIFY(versions.waitForExit());
    QStringList rows;
    auto *tree = restoreWidget<QTreeWidget>("versions");
    for (int row = 0; row < tree->topLevelItemCount(); ++row) {
        QStringList fields;
        for (int column = 0; column < 5; ++column)
            fields << tree->topLevelItem(row)->text(column);
        rows << fields.join('\t');
    }
    QCOMPARE(rows, versions.standardOutput().split('\n', Qt::SkipEmptyParts));
    QCOMPARE(rows.size(), 4);
    QCOMPARE(restoreWidget<QLabel>("problems")->text().count("unplugged"), 1);

    // Without config.txt, a save folder opened lists what its indexes hold.
    delete window;
    QVERIFY(QFile::remove(QStringLiteral("config.txt")));
    restoreWindow = new RestoreWindow(RestoreWindow::FolderAccess::TakeLock);
    QVERIFY(restoreWidget<QLabel>("problems")->text().contains("There is no config.txt in "));
    DialogScript script;
    script.then(DialogScript::pick(dir->filePath("saves")));
    QTest::mouseClick(restoreWidget<QPushButton>("openSaveFolder"), Qt::LeftButton);
    QCOMPARE(script.problems, QStringList());
    entries = restoreWidget<QListWidget>("entries");
    QTRY_COMPARE(entries->count(), 2);
    QCOMPARE(entries->item(1)->text(), QStringLiteral("report.txt"));
    QCOMPARE(entries->item(1)->toolTip(), "file, from " + dir->filePath("src/report.txt"));
}

// Several entries into a folder chosen; not while a backup holds the folder,
// whose lock the window holds while it restores.
void TestConfigurationWindow::restoreIntoAnotherFolder()
{
    backUpFiles({ { "notes.txt", "notes" }, { "report.txt", "a longer report" } });
    openRestoreWindow({ "notes.txt", "report.txt" });
    QLockFile backup(dir->filePath(QStringLiteral("mirvo.lock")));
    QVERIFY(backup.tryLock(0));
    QTest::mouseClick(restoreWidget<QPushButton>("restore"), Qt::LeftButton);
    QVERIFY2(results().value(0).startsWith("red: Error : A backup is running in"),
             qPrintable(results().join('\n')));
    backup.unlock();

    const QString into = makeFolder(QStringLiteral("restored"));
    DialogScript script;
    script.then(DialogScript::pick(into));
    QTest::mouseClick(restoreWidget<QPushButton>("restoreTo"), Qt::LeftButton);
    QTRY_VERIFY(!restoreWindow->isRestoring() && results().size() == 3);
    QCOMPARE(script.problems, QStringList());
    QCOMPARE(results().mid(1),
             QStringList({ "Restored notes.txt (latest) from " + dir->filePath("saves") + " to "
                               + into + "/notes.txt",
                           "Restored report.txt (latest) from " + dir->filePath("saves") + " to "
                               + into + "/report.txt" }));
    QCOMPARE(readFile(into + "/report.txt"), QByteArray("a longer report"));
    QCOMPARE(restoreWidget<QProgressBar>("progress")->format(),
             QStringLiteral("20 bytes of 20 bytes"));
    QVERIFY(backup.tryLock(0));
}

void TestConfigurationWindow::replaceQuestion_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("replace") << "Replace" << QByteArray("notes");
    QTest::newRow("cancel") << "Cancel" << QByteArray("edited since");
}

// What stands at the original place is replaced only when the person says so.
void TestConfigurationWindow::replaceQuestion()
{
    QFETCH(QString, answer);
    QFETCH(QByteArray, after);
    backUpFiles({ { "notes.txt", "notes" } });
    const QString target = dir->filePath("src/notes.txt");
    writeFile(target, "edited since");
    openRestoreWindow({ "notes.txt" });

    DialogScript script;
    script.then(DialogScript::press(answer));
    QTest::mouseClick(restoreWidget<QPushButton>("restore"), Qt::LeftButton);
    QTRY_VERIFY(script.allPlayed() && !restoreWindow->isRestoring());
    QCOMPARE(script.problems, QStringList());
    QVERIFY2(script.seen.first().text.startsWith(target + " exists."),
             qPrintable(script.seen.first().text));
    QCOMPARE(readFile(target), after);
    QCOMPARE(results(),
             QStringList(answer == "Replace" ? "Restored notes.txt (latest) from "
                                 + dir->filePath("saves") + " to " + target
                                             : target + " exists and was not replaced"));
}

// Cancelled while its bytes come: nothing at the target, no scratch folder.
void TestConfigurationWindow::cancelPartWay()
{
    backUpFiles({ { "big", QByteArray(40 << 20, 'b') } });
    QVERIFY(QFile::remove(dir->filePath("src/big")));
    openRestoreWindow({ "big" });
    auto *progress = restoreWidget<QProgressBar>("progress");
    connect(progress, &QProgressBar::valueChanged, this, [this](int value) {
        if (value > 0 && restoreWindow->isRestoring())
            QTest::mouseClick(restoreWidget<QPushButton>("cancel"), Qt::LeftButton);
    });
    QTest::mouseClick(restoreWidget<QPushButton>("restore"), Qt::LeftButton);
    QTRY_VERIFY(!restoreWindow->isRestoring());
    QCOMPARE(results(), QStringList("Restore of big cancelled"));
    QVERIFY(progress->value() < 1000);
    QCOMPARE(QDir(dir->filePath("src"))
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

// A server's copies are listed and restored as a save folder's are.
void TestConfigurationWindow::restoreFromServer()
{
    FtpTestServer server(FtpTestServer::PyFtpdlib);
    FtpTestServer::Options options;
    options.root = makeFolder(QStringLiteral("server"));
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    const QString host = server.address() + ":" + QString::number(server.port());
    backUpFiles({ { "notes.txt", "notes" } },
                "ftp=" + host + " " + server.user() + " "
                    + StringCipher(passwordCipherKey).encipherText(server.password())
                    + " backup\n");
    openRestoreWindow({ "notes.txt" });
    const QList<QTreeWidgetItem *> rows = restoreWidget<QTreeWidget>("versions")
                                              ->findItems(host + " - backup", Qt::MatchExactly, 2);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.first()->text(4), dir->filePath("src/notes.txt"));
    // The row chosen is read from its server, though a save folder comes first.
    rows.first()->setSelected(true);
    QVERIFY(QFile::remove(dir->filePath("src/notes.txt")));
    QTest::mouseClick(restoreWidget<QPushButton>("restore"), Qt::LeftButton);
    QTRY_VERIFY(!restoreWindow->isRestoring() && !results().isEmpty());
    QCOMPARE(results(),
             QStringList("Restored notes.txt (latest) from " + host + " - backup to "
                         + dir->filePath("src/notes.txt")));
    QCOMPARE(readFile(dir->filePath("src/notes.txt")), QByteArray("notes"));
}

// The editor of a new folder backs it up at once, in a backup window of its own.
void TestConfigurationWindow::backUpNow()
{
    openWindow();
    const QString saves = makeFolder(QStringLiteral("saves"));
    writeFile(QStringLiteral("config.txt"),
              ("path=" + saves + "\nfile=" + makeFile("src/notes.txt") + " notes.txt\n").toUtf8());
    inside.reset();
    inside.load();
    for (QPushButton *button : window->findChildren<QPushButton *>()) {
        if (button->text() == QLatin1String("Back up now"))
            QTest::mouseClick(button, Qt::LeftButton);
    }
    QTRY_VERIFY(!window);
    QList<MainWindow *> backups;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *backupWindow = qobject_cast<MainWindow *>(widget))
            backups << backupWindow;
    }
    QCOMPARE(backups.size(), 1);
    window = backups.first();
    QVERIFY(window->isVisible());
    QCOMPARE(readFile(saves + "/latest/notes.txt"), QByteArray("data\n"));
    QVERIFY(MainWindowInspector { window }.logText().contains("Backup complete"));
}

QTEST_MAIN(TestConfigurationWindow)
#include "tst_configurationwindow.moc"
