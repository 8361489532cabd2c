#include "stringcipher.h"
#include "testsupport.h"

#include <QtTest>

// The cipher on its own: the byte layout, the chaining and every failure.
class TestStringCipher : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void emptyTextIsFiveBytes();
    void equalTextsDifferWithTheRandomByte();
    void knownVector_data();
    void knownVector();
    void compressionOnlyWhenSmaller();
    void wrongKeyIsIntegrityMismatch();
    void badVersion();
    void shortInputLeavesFailureAlone();
    void missingKey();
    void undecompressiblePayload_data();
    void undecompressiblePayload();
};

namespace {

const quint64 testKey = 0x0102030405060708ULL;

// The random byte of the next encipher, made known by seeding Qt's generator.
int seedRandomByte(uint seed)
{
    qsrand(seed);
    const int randomByte = qrand() & 0xff;
    qsrand(seed);
    return randomByte;
}

// Builds cipher bytes by hand: version 0x03, flags, then the chained body.
QByteArray forge(char flags, const QByteArray &plainBody, quint64 key)
{
    QByteArray out;
    out.append(char(0x03)).append(flags);
    char previous = 0;
    for (int i = 0; i < plainBody.size(); ++i) {
        previous = char(plainBody.at(i) ^ char(key >> (8 * (i % 8))) ^ previous);
        out.append(previous);
    }
    return out;
}

QByteArray crc16(const QByteArray &payload)
{
    const quint16 crc = qChecksum(payload.constData(), uint(payload.size()));
    return QByteArray(1, char(crc >> 8)) + char(crc & 0xff);
}

} // namespace

void TestStringCipher::roundTrip_data()
{
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("integrity");
    QTest::addColumn<QString>("text");
    const QString repetitive = QString(QStringLiteral("password")).repeated(40);
    const QStringList texts = { QString(), QStringLiteral("s3cret"), repetitive,
                                QStringLiteral("pässwörd €"), QStringLiteral("密码🔑 x") };
    for (int compression = 0; compression < 3; ++compression)
        for (int integrity = 0; integrity < 3; ++integrity)
            for (int i = 0; i < texts.size(); ++i)
                QTest::addRow("c%d i%d text%d", compression, integrity, i)
                    << compression << integrity << texts.at(i);
}

void TestStringCipher::roundTrip()
{
    QFETCH(int, compression);
    QFETCH(int, integrity);
    QFETCH(QString, text);
    StringCipher writer(testKey);
    writer.setCompressionPolicy(StringCipher::CompressionPolicy(compression));
    writer.setIntegrityCheck(StringCipher::IntegrityCheck(integrity));
    const QByteArray bytes = writer.encipherTextToBytes(text);
    QCOMPARE(writer.lastFailure(), StringCipher::NoFailure);

    const int flags = quint8(bytes.at(1));
    const int integrityFlag[] = { 0, 0x02, 0x04 };
    QCOMPARE(flags & 0x06, integrityFlag[integrity]);
    if (compression != StringCipher::CompressWhenSmaller)
        QCOMPARE(bool(flags & 0x01), compression == StringCipher::CompressAlways);

    // The stored flags decide how to read, not the reader's settings.
    StringCipher reader(testKey);
    reader.setCompressionPolicy(StringCipher::CompressNever);
    reader.setIntegrityCheck(StringCipher::Sha1Check);
    QCOMPARE(reader.decipherBytesToText(bytes), text);
    QCOMPARE(reader.lastFailure(), StringCipher::NoFailure);
    QCOMPARE(reader.decipherText(QString::fromLatin1(bytes.toBase64())), text);
    QCOMPARE(reader.decipherTextToBytes(writer.encipherBytesToText(text.toUtf8())), text.toUtf8());
}

void TestStringCipher::emptyTextIsFiveBytes()
{
    StringCipher cipher(testKey);
    QCOMPARE(cipher.encipherTextToBytes(QString()).size(), 5);
    const QString cipherText = cipher.encipherText(QString());
    QCOMPARE(cipherText.size(), 8);
    QCOMPARE(cipher.decipherText(cipherText), QString());
    QCOMPARE(cipher.lastFailure(), StringCipher::NoFailure);
    // An incompressible password of n bytes takes 4 * ceil((5 + n) / 3) characters.
    QCOMPARE(cipher.encipherText(QStringLiteral("abcdefg")).size(), 16);
}

void TestStringCipher::equalTextsDifferWithTheRandomByte()
{
    StringCipher cipher(testKey);
    uint seed = 1;
    while (seedRandomByte(seed) == seedRandomByte(seed + 1))
        ++seed;
    seedRandomByte(seed);
    const QString first = cipher.encipherText(QStringLiteral("hunter2"));
    seedRandomByte(seed + 1);
    const QString second = cipher.encipherText(QStringLiteral("hunter2"));
    QVERIFY(first != second);
    QCOMPARE(cipher.decipherText(first), QStringLiteral("hunter2"));
    QCOMPARE(cipher.decipherText(second), QStringLiteral("hunter2"));
}

// Worked out by hand for the key 0x0102030405060708 (byte 0 is 0x08): every
// enciphered body byte carries the random byte once, so body XOR random is
// fixed. The vectors pin the key byte order, the key index wrapping after
// eight bytes, the chaining, and the CRC-16 (0x906e for "123456789") stored
// most significant byte first.
void TestStringCipher::knownVector_data()
{
    QTest::addColumn<int>("integrity");
    QTest::addColumn<QByteArray>("plaintext");
    QTest::addColumn<QByteArray>("bodyXorRandom");
    QTest::newRow("no check") << int(StringCipher::NoIntegrityCheck) << QByteArray("abcdefghij")
                              << QByteArray::fromHex("086e0a6c0c6a0e6808660a");
    QTest::newRow("crc16") << int(StringCipher::Crc16Check) << QByteArray("123456789")
                           << QByteArray::fromHex("089ff7c3f5c5f3c7f9c9f7cb");
}

void TestStringCipher::knownVector()
{
    QFETCH(int, integrity);
    QFETCH(QByteArray, plaintext);
    QFETCH(QByteArray, bodyXorRandom);
    StringCipher cipher(testKey);
    cipher.setCompressionPolicy(StringCipher::CompressNever);
    cipher.setIntegrityCheck(StringCipher::IntegrityCheck(integrity));
    const char randomByte = char(seedRandomByte(42));
    const QByteArray bytes = cipher.encipherBytes(plaintext);
    QCOMPARE(bytes.left(2), QByteArray::fromHex(integrity ? "0302" : "0300"));
    QByteArray body = bytes.mid(2);
    for (char &c : body)
        c ^= randomByte;
    QCOMPARE(body.toHex(), bodyXorRandom.toHex());
}

void TestStringCipher::compressionOnlyWhenSmaller()
{
    StringCipher cipher(testKey);
    const QByteArray longText = QByteArray("backup ").repeated(50);
    const QByteArray compressed = cipher.encipherBytes(longText);
    QVERIFY(compressed.at(1) & 0x01);
    QVERIFY(compressed.size() < longText.size());
    QVERIFY(!(cipher.encipherBytes("short").at(1) & 0x01));
}

void TestStringCipher::wrongKeyIsIntegrityMismatch()
{
    StringCipher writer(testKey);
    writer.setIntegrityCheck(StringCipher::Sha1Check); // a CRC-16 could match by chance
    StringCipher reader(testKey + 1);
    QCOMPARE(reader.decipherText(writer.encipherText(QStringLiteral("secret"))), QString());
    QCOMPARE(reader.lastFailure(), StringCipher::IntegrityMismatch);
}

void TestStringCipher::badVersion()
{
    StringCipher cipher(testKey);
    QByteArray bytes = cipher.encipherBytes("secret");
    bytes[0] = 0x02;
    QTest::ignoreMessage(QtWarningMsg, "Invalid version or not a cyphertext.");
    QVERIFY(cipher.decipherBytes(bytes).isEmpty());
    QCOMPARE(cipher.lastFailure(), StringCipher::BadVersion);
}

void TestStringCipher::shortInputLeavesFailureAlone()
{
    StringCipher cipher(testKey);
    QTest::ignoreMessage(QtWarningMsg, "Invalid version or not a cyphertext.");
    cipher.decipherBytes(QByteArray::fromHex("020000"));
    QCOMPARE(cipher.lastFailure(), StringCipher::BadVersion);
    for (const QByteArray &input : { QByteArray(), QByteArray("\x03"), QByteArray("\x03\x02") }) {
        QVERIFY(cipher.decipherBytes(input).isEmpty());
        QCOMPARE(cipher.lastFailure(), StringCipher::BadVersion);
    }
    QVERIFY(cipher.decipherText(QStringLiteral("AwI=")).isEmpty()); // two bytes once decoded
    QCOMPARE(cipher.lastFailure(), StringCipher::BadVersion);
}

void TestStringCipher::missingKey()
{
    StringCipher cipher;
    QTest::ignoreMessage(QtWarningMsg, "No key set.");
    QVERIFY(cipher.encipherText(QStringLiteral("secret")).isEmpty());
    QCOMPARE(cipher.lastFailure(), StringCipher::MissingKey);
    QTest::ignoreMessage(QtWarningMsg, "No key set.");
    QVERIFY(cipher.decipherBytes(QByteArray::fromHex("030000")).isEmpty());
    QCOMPARE(cipher.lastFailure(), StringCipher::MissingKey);

    cipher.setKey(0);
    QCOMPARE(cipher.decipherText(cipher.encipherText(QStringLiteral("secret"))),
             QStringLiteral("secret"));
    QCOMPARE(cipher.lastFailure(), StringCipher::NoFailure);
}

// A compressed payload whose check passes but which does not decompress is
// damaged text, not an empty password.
void TestStringCipher::undecompressiblePayload_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("withCrc");
    QTest::newRow("garbage stream") << QByteArray("\x00\x00\x00\x05garbage", 11) << true;
    QTest::newRow("garbage, no check") << QByteArray("\x00\x00\x00\x05garbage", 11) << false;
    QTest::newRow("too short") << QByteArray("\x00\x01", 2) << true;
    QTest::newRow("announces 2 GiB") << QByteArray("\x7f\xff\xff\x00xx", 6) << true;
}

void TestStringCipher::undecompressiblePayload()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, withCrc);
    StringCipher cipher(testKey);
    const char flags = char(0x01 | (withCrc ? 0x02 : 0));
    const QByteArray body
        = QByteArray(1, 'R') + (withCrc ? crc16(payload) : QByteArray()) + payload;
    QVERIFY(cipher.decipherBytes(forge(flags, body, testKey)).isEmpty());
    QCOMPARE(cipher.lastFailure(), StringCipher::IntegrityMismatch);

    // The same path with a genuine compressed empty text still succeeds.
    const QByteArray empty = qCompress(QByteArray(), 9);
    QVERIFY(cipher.decipherBytes(forge(0x03, QByteArray(1, 'R') + crc16(empty) + empty, testKey))
                .isEmpty());
    QCOMPARE(cipher.lastFailure(), StringCipher::NoFailure);
}

QTEST_APPLESS_MAIN(TestStringCipher)
#include "tst_stringcipher.moc"
