#include "qftpline.h"

namespace {

using Verb = QFtpLine::Verb;

const struct
{
    const char *word;
    Verb verb;
} verbs[] = {
    { "USER", Verb::User }, { "PASS", Verb::Pass }, { "QUIT", Verb::Quit }, { "TYPE", Verb::Type },
    { "PASV", Verb::Pasv }, { "EPSV", Verb::Epsv }, { "PORT", Verb::Port }, { "EPRT", Verb::Eprt },
    { "LIST", Verb::List }, { "CWD", Verb::Cwd },   { "RETR", Verb::Retr }, { "STOR", Verb::Stor },
    { "SIZE", Verb::Size }, { "ALLO", Verb::Allo }, { "DELE", Verb::Dele }, { "MKD", Verb::Mkd },
    { "RMD", Verb::Rmd },   { "RNFR", Verb::Rnfr }, { "RNTO", Verb::Rnto }, { "ABOR", Verb::Abor },
    { "AUTH", Verb::Auth }, { "PBSZ", Verb::Pbsz }, { "PROT", Verb::Prot }, { "REST", Verb::Rest },
    { "APPE", Verb::Appe }, { "FEAT", Verb::Feat }, { "MFMT", Verb::Mfmt }, { "OPTS", Verb::Opts },
    { "HASH", Verb::Hash },
};

QString wordOf(Verb verb)
{
    for (const auto &entry : verbs) {
        if (entry.verb == verb)
            return QLatin1String(entry.word);
    }
    return QString();
}

} // namespace

QFtpLine::QFtpLine(Verb verb)
    : valid(true)
    , lineVerb(verb)
    , word(wordOf(verb))
{ }

QFtpLine::QFtpLine(Verb verb, const QString &argument)
    : QFtpLine(verb)
{
    setArgument(argument);
}

QFtpLine QFtpLine::fromText(const QString &text)
{
    QString rest = text;
    if (rest.endsWith(QLatin1String("\r\n")))
        rest.chop(2);
    QFtpLine line;
    line.valid = true;
    const int space = rest.indexOf(QLatin1Char(' '));
    line.word = space < 0 ? rest : rest.left(space);
    if (space >= 0)
        line.setArgument(rest.mid(space + 1));
    // Verbs are matched as written: "user" is not USER.
    for (const auto &entry : verbs) {
        if (line.word == QLatin1String(entry.word))
            line.lineVerb = entry.verb;
    }
    return line;
}

void QFtpLine::setArgument(const QString &argument)
{
    arg = argument;
    hasArgument = true;
}

QFtpLine QFtpLine::withVerb(Verb verb) const
{
    QFtpLine line(verb);
    line.raw = raw;
    line.tolerated = tolerated;
    return line;
}

QFtpLine QFtpLine::withVerb(Verb verb, const QString &argument) const
{
    QFtpLine line = withVerb(verb);
    line.setArgument(argument);
    return line;
}

QString QFtpLine::text() const
{
    return hasArgument ? word + QLatin1Char(' ') + arg : word;
}

QByteArray QFtpLine::toWire() const
{
    // The one place a line gets its end.
    return text().toUtf8() + "\r\n";
}

bool QFtpLine::breaksLine() const
{
    const QString all = text();
    return all.contains(QLatin1Char('\r')) || all.contains(QLatin1Char('\n'))
        || all.contains(QChar());
}

QFtpLine &QFtpLine::markRaw()
{
    raw = true;
    return *this;
}

QFtpLine &QFtpLine::tolerateRefusal()
{
    tolerated = true;
    return *this;
}
