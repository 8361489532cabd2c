#include "mainwindow.h"
#include "testsupport.h"

#include <QScrollBar>
#include <QTextEdit>
#include <QtTest>

#include <memory>

extern bool testConfigurationOnlyBuild;

namespace {

// What the view would show if the whole log were rendered at once.
QImage wholeRender(const QString &html, bool atBottom)
{
    QTextEdit reference;
    reference.setFixedSize(500, 600);
    reference.setReadOnly(true);
    reference.setHtml(html);
    reference.show();
    QCoreApplication::processEvents();
    reference.verticalScrollBar()->setValue(atBottom ? reference.verticalScrollBar()->maximum()
                                                     : 0);
    return reference.grab().toImage();
}

QImage viewImage(QTextEdit *view, bool atBottom)
{
    QCoreApplication::processEvents();
    view->verticalScrollBar()->setValue(atBottom ? view->verticalScrollBar()->maximum() : 0);
    return view->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

// The window of backup mode: its log lines, the view, and the save folders
// it prepares.
class TestLogView : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lineMarkup_data();
    void lineMarkup();
    void backupWindowShape();
    void configurationModeLogsToDebugOnly();
    void viewShowsTheWholeLog_data();
    void viewShowsTheWholeLog();
    void saveFolders_data();
    void saveFolders();
};

void TestLogView::init()
{
    QVERIFY(enterScratch());
}

void TestLogView::cleanup()
{
    leaveScratch();
}

void TestLogView::lineMarkup_data()
{
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("html");
    QTest::newRow("normal") << false << "Initializing D:/Saves"
                            << ">Initializing D:/Saves<br>";
    QTest::newRow("error") << true << "cannot create D:/latest"
                           << "> <font color=\"red\">Error : cannot create D:/latest</font><br>";
    QTest::newRow("markup escaped") << false << "D:/<b>x</b> & \"y\""
                                    << ">D:/&lt;b&gt;x&lt;/b&gt; &amp; &quot;y&quot;<br>";
    QTest::newRow("error with markup") << true << "<i>"
                                       << "> <font color=\"red\">Error : &lt;i&gt;</font><br>";
    QTest::newRow("empty") << false << ""
                           << "><br>";
}

void TestLogView::lineMarkup()
{
    QFETCH(bool, error);
    QFETCH(QString, text);
    QFETCH(QString, html);
    build(QByteArray());
    const QString before = inspect().logText();
    debug->lines().clear();
    error ? window->logError(text) : window->log(text);
    QCOMPARE(inspect().logText(), before + html);
    QCOMPARE(debug->lines(), QStringList { text });
}

void TestLogView::backupWindowShape()
{
    build(QByteArray());
    QVERIFY(!inspect().configurationMode());
    QCOMPARE(window->minimumSize(), QSize(500, 600));
    QCOMPARE(window->maximumSize(), QSize(500, 600));
    QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(window->windowTitle().isEmpty());
    QVERIFY(!static_cast<QWidget *>(window.get())->layout());
    QTextEdit *view = inspect().logView();
    QVERIFY(view);
    QCOMPARE(view->parentWidget(), window.get());
    QCOMPARE(view->geometry(), QRect(0, 0, 500, 600));
    QCOMPARE(view->minimumSize(), QSize(500, 600));
    QVERIFY(view->isReadOnly());
}

void TestLogView::configurationModeLogsToDebugOnly()
{
    // The configuration-only build ignores an existing config.txt.
    testConfigurationOnlyBuild = true;
    build("file=x\n");
    QVERIFY(inspect().configurationMode());
    QVERIFY(!inspect().logView());
    window->logError(QStringLiteral("boom"));
    QCOMPARE(debug->lines().last(), QStringLiteral("boom"));
    QVERIFY(inspect().logText().isEmpty());
    // No history is read in this mode.
    QVERIFY(!debug->lines().contains(
        QStringLiteral("No previous transfer file: every entry is backed up")));
}

// The view is fed line by line but must look exactly like the whole log
// rendered at once, lines logged before the view existed included.
void TestLogView::viewShowsTheWholeLog_data()
{
    QTest::addColumn<QStringList>("lines");
    const QString longLine
        = QStringLiteral("/a/rather/long/path/that/wraps/past/the/edge/of/the/"
                         "window/%1.txt has been copied to /saves/latest/%1.txt");
    QStringList plain;
    for (int i = 0; i < 60; ++i)
        plain << (i % 3 == 1 ? "!" : "") + (i % 4 ? longLine.arg(i) : QString::number(i));
    QTest::newRow("plain and error lines") << plain;
    // Markup in a text is shown as written and stays on its own line.
    QStringList markup = plain.mid(0, 10);
    markup << QStringLiteral("D:/<i>open/a<b>c.txt") << QStringLiteral("!</font><font size=9>")
           << QStringLiteral("D:/x &#8232; &amp; y") << plain.mid(10, 10);
    QTest::newRow("markup in texts") << markup;
}

void TestLogView::viewShowsTheWholeLog()
{
    QFETCH(QStringList, lines);
    build("file=x\nfile=/gone y\n"); // an invalid line and an error, logged before the view exists
    window->show();
    for (const QString &line : lines)
        line.startsWith('!') ? window->logError(line.mid(1)) : window->log(line);
    QTextEdit *view = inspect().logView();
    QVERIFY(view->toPlainText().startsWith(">Invalid line : file=x\n> Error : /gone cannot be "
                                           "found: kept in config.txt, tried again next run\n"));
    // Each text shows as written, on a line of its own (the last line is empty).
    QStringList shown = view->toPlainText().split('\n');
    shown = shown.mid(shown.size() - 1 - lines.size(), lines.size());
    QCOMPARE(shown.replaceInStrings(QRegExp("^> Error : "), ">!"),
             lines.replaceInStrings(QRegExp("^"), ">"));
    for (bool atBottom : { false, true })
        QVERIFY(viewImage(view, atBottom) == wholeRender(inspect().logText(), atBottom));
}

void TestLogView::saveFolders_data()
{
    QTest::addColumn<QStringList>(
        "inTheWay"); // entries made beforehand; a trailing / makes a folder
    QTest::addColumn<QStringList>("expected"); // $S is the save folder, $D the date text
    QTest::addColumn<bool>("invalid");
    QTest::newRow("fresh") << QStringList { "s/" }
                           << QStringList { "$S/latest created", "$S/$D created",
                                            "Initializing $S" }
                           << false;
    QTest::newRow("second start") << QStringList { "s/", "s/latest/", "s/$D/" }
                                  << QStringList { "Initializing $S" } << false;
    QTest::newRow("later day") << QStringList { "s/", "s/latest/" }
                               << QStringList { "$S/$D created", "Initializing $S" } << false;
    QTest::newRow("latest is a file")
        << QStringList { "s/", "s/latest" }
        << QStringList { "cannot create $S/latest", "$S/$D created" } << true;
    QTest::newRow("dated is a file")
        << QStringList { "s/", "s/$D" }
        << QStringList { "$S/latest created", "cannot create $S/$D" } << true;
    QTest::newRow("missing folder")
        << QStringList() << QStringList { "$S is not a valid path" } << true;
    QTest::newRow("a file") << QStringList { "s" } << QStringList { "$S is not a valid path" }
                            << true;
}

void TestLogView::saveFolders()
{
    QFETCH(QStringList, inTheWay);
    QFETCH(QStringList, expected);
    QFETCH(bool, invalid);
    const QString folder = QDir::currentPath() + "/s";
    const QString date = datedFolderName();
    for (QString entry : inTheWay) {
        entry.replace(QLatin1String("$D"), date);
        if (entry.endsWith('/'))
            QVERIFY(QDir().mkpath(entry));
        else
            writeFile(entry, "x");
    }
    build(("path=" + folder + "\n").toUtf8());
    if (inspect().date() != date)
        QSKIP("the date changed during the test");

    expected.replaceInStrings(QLatin1String("$S"), folder).replaceInStrings("$D", date);
    expected.prepend(QStringLiteral("No previous transfer file: every entry is backed up"));
    QCOMPARE(debug->lines().mid(0, expected.size()), expected);
    QCOMPARE(debug->lines().contains("Initializing " + folder), !invalid);
    QCOMPARE(inspect().invalidFlags(), QList<bool> { invalid });
}

QTEST_MAIN(TestLogView)
#include "tst_logview.moc"
