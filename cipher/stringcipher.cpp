#include "stringcipher.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QtDebug>

namespace {

const int crc16Size = 2;
const int sha1Size = 20;

// Deflate cannot expand data by more than this factor, so a length prefix
// above it belongs to damaged text; refusing it early avoids allocating the
// announced size (up to 2 GiB) for a password of a few bytes.
const qint64 maxDeflateRatio = 1032;

QByteArray crc16Block(const QByteArray &payload)
{
    const quint16 crc = qChecksum(payload.constData(), uint(payload.size()));
    QByteArray block(crc16Size, Qt::Uninitialized);
    block[0] = char(crc >> 8);
    block[1] = char(crc & 0xff);
    return block;
}

QByteArray sha1Block(const QByteArray &payload)
{
    return QCryptographicHash::hash(payload, QCryptographicHash::Sha1);
}

} // namespace

StringCipher::StringCipher()
{
    qsrand(uint(QDateTime::currentMSecsSinceEpoch() & 0xffff));
}

StringCipher::StringCipher(quint64 key)
    : StringCipher()
{
    setKey(key);
}

void StringCipher::setKey(quint64 newKey)
{
    key = newKey;
    keyBytes.resize(8);
    for (int i = 0; i < 8; ++i)
        keyBytes[i] = char((key >> (8 * i)) & 0xff);
}

bool StringCipher::hasKey()
{
    if (!keyBytes.isEmpty())
        return true;
    qWarning("No key set.");
    failure = MissingKey;
    return false;
}

// Each byte is mixed with the key and with the byte enciphered before it, so
// the random first byte changes every byte that follows.
void StringCipher::chain(QByteArray &body) const
{
    char previous = 0;
    for (int i = 0; i < body.size(); ++i) {
        body[i] = char(body.at(i) ^ keyBytes.at(i % 8) ^ previous);
        previous = body.at(i);
    }
}

void StringCipher::unchain(QByteArray &body) const
{
    char previous = 0;
    for (int i = 0; i < body.size(); ++i) {
        const char enciphered = body.at(i);
        body[i] = char(enciphered ^ keyBytes.at(i % 8) ^ previous);
        previous = enciphered;
    }
}

QByteArray StringCipher::encipherBytes(const QByteArray &plaintext)
{
    if (!hasKey())
        return QByteArray();

    QByteArray payload = plaintext;
    char flags = 0;
    if (compression == CompressAlways) {
        payload = qCompress(plaintext, 9);
        flags |= FlagCompressed;
    } else if (compression == CompressWhenSmaller) {
        const QByteArray compressed = qCompress(plaintext, 9);
        if (compressed.size() < plaintext.size()) {
            payload = compressed;
            flags |= FlagCompressed;
        }
    }

    QByteArray integrityBlock;
    if (integrity == Crc16Check) {
        flags |= FlagCrc16;
        integrityBlock = crc16Block(payload);
    } else if (integrity == Sha1Check) {
        flags |= FlagSha1;
        integrityBlock = sha1Block(payload);
    }

    QByteArray body;
    body.reserve(1 + integrityBlock.size() + payload.size());
    body.append(char(qrand() & 0xff));
    body.append(integrityBlock);
    body.append(payload);
    chain(body);

    QByteArray result;
    result.reserve(2 + body.size());
    result.append(version);
    result.append(flags);
    result.append(body);
    failure = NoFailure;
    return result;
}

// Takes the integrity block announced by the flags off the front of the
// payload and tells whether it matches what remains.
bool StringCipher::checkIntegrity(char flags, QByteArray &payload) const
{
    if (flags & FlagCrc16) {
        if (payload.size() < crc16Size)
            return false;
        const QByteArray stored = payload.left(crc16Size);
        payload.remove(0, crc16Size);
        return stored == crc16Block(payload);
    }
    if (flags & FlagSha1) {
        if (payload.size() < sha1Size)
            return false;
        const QByteArray stored = payload.left(sha1Size);
        payload.remove(0, sha1Size);
        return stored == sha1Block(payload);
    }
    return true;
}

// qUncompress answers both "empty input" and "corrupt input" with an empty
// array; only the four zero bytes that qCompress makes of nothing are a
// genuine empty result.
bool StringCipher::uncompressPayload(const QByteArray &compressed, QByteArray *result)
{
    if (compressed.size() < 4)
        return false;
    const quint32 announced = (quint32(quint8(compressed.at(0))) << 24)
        | (quint32(quint8(compressed.at(1))) << 16) | (quint32(quint8(compressed.at(2))) << 8)
        | quint32(quint8(compressed.at(3)));
    if (announced == 0 && compressed.size() == 4) {
        result->clear();
        return true;
    }
    if (qint64(announced) > (compressed.size() - 4) * maxDeflateRatio)
        return false;
    *result = qUncompress(compressed);
    return !result->isEmpty();
}

QByteArray StringCipher::decipherBytes(const QByteArray &cipher)
{
    if (!hasKey())
        return QByteArray();
    if (cipher.size() < 3)
        return QByteArray();
    if (cipher.at(0) != version) {
        failure = BadVersion;
        qWarning("Invalid version or not a cyphertext.");
        return QByteArray();
    }

    const char flags = cipher.at(1);
    QByteArray payload = cipher.mid(2);
    unchain(payload);
    payload.remove(0, 1); // the random byte

    if (!checkIntegrity(flags, payload)) {
        failure = IntegrityMismatch;
        return QByteArray();
    }

    if (flags & FlagCompressed) {
        QByteArray uncompressed;
        // A payload that passed its check but does not decompress is damaged
        // (or was made with another key and a lucky check), not a success.
        if (!uncompressPayload(payload, &uncompressed)) {
            failure = IntegrityMismatch;
            return QByteArray();
        }
        payload = uncompressed;
    }
    failure = NoFailure;
    return payload;
}

QByteArray StringCipher::encipherTextToBytes(const QString &plaintext)
{
    return encipherBytes(plaintext.toUtf8());
}

QString StringCipher::encipherText(const QString &plaintext)
{
    return QString::fromLatin1(encipherBytes(plaintext.toUtf8()).toBase64());
}

QString StringCipher::encipherBytesToText(const QByteArray &plaintext)
{
    return QString::fromLatin1(encipherBytes(plaintext).toBase64());
}

QString StringCipher::decipherBytesToText(const QByteArray &cipher)
{
    return QString::fromUtf8(decipherBytes(cipher));
}

QString StringCipher::decipherText(const QString &cipher)
{
    return QString::fromUtf8(decipherBytes(QByteArray::fromBase64(cipher.toLatin1())));
}

QByteArray StringCipher::decipherTextToBytes(const QString &cipher)
{
    return decipherBytes(QByteArray::fromBase64(cipher.toLatin1()));
}
