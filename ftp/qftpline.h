#ifndef QFTPLINE_H
#define QFTPLINE_H

#include <QByteArray>
#include <QList>
#include <QString>

// One FTP command line (RFC 959 section 4.1): a verb and, if there is one,
// its argument. A line is held this way from the moment it is queued until
// it is written; it gets its line end only on the wire.
//
// A line also carries what its sender decided when it queued it: the replies
// to a raw line are passed on as they are, without the interpreter's own
// handling of special codes; a line whose refusal is tolerated does not end
// its list when the server refuses it (SIZE before a download, ALLO before an
// upload: both only tell the server what comes).
class QFtpLine
{
public:
    // The verbs the client sends or acts on; every other verb is Other.
    enum class Verb {
        Other,
        User,
        Pass,
        Quit,
        Type,
        Pasv,
        Epsv,
        Port,
        Eprt,
        List,
        Cwd,
        Retr,
        Stor,
        Size,
        Allo,
        Dele,
        Mkd,
        Rmd,
        Rnfr,
        Rnto,
        Abor,
        Auth,
        Pbsz,
        Prot,
        Rest,
        Appe,
        Feat,
        Mfmt,
        Opts,
        Hash
    };

    QFtpLine() = default; // no line
    explicit QFtpLine(Verb verb);
    QFtpLine(Verb verb, const QString &argument);
    // A line given as text (a raw command): the verb is what comes before
    // the first space; a line end at the end is dropped.
    static QFtpLine fromText(const QString &text);

    bool isNull() const { return !valid; }
    Verb verb() const { return lineVerb; }
    // STOR or APPE: the line that sends a file's data.
    bool isUpload() const { return lineVerb == Verb::Stor || lineVerb == Verb::Appe; }
    QString argument() const { return arg; }
    void setArgument(const QString &argument);
    // The same line with another verb and argument, and the same marks.
    QFtpLine withVerb(Verb verb) const;
    QFtpLine withVerb(Verb verb, const QString &argument) const;

    // The line without its end, as text.
    QString text() const;
    // The bytes that go on the wire: UTF-8, so that names in any script
    // reach the server as they are, and the line end.
    QByteArray toWire() const;
    // True when the line holds CR, LF or NUL: on the wire it would end early
    // and the rest would pass for a command of its own.
    bool breaksLine() const;

    QFtpLine &markRaw();
    bool isRaw() const { return raw; }
    QFtpLine &tolerateRefusal();
    bool refusalTolerated() const { return tolerated; }

private:
    bool valid = false;
    Verb lineVerb = Verb::Other;
    QString word; // the verb as written
    QString arg;
    bool hasArgument = false;
    bool raw = false;
    bool tolerated = false;
};

using QFtpLines = QList<QFtpLine>;

#endif // QFTPLINE_H
