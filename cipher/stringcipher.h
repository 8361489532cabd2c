#ifndef STRINGCIPHER_H
#define STRINGCIPHER_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// A light, keyed scrambling for short texts such as FTP passwords, so that
// config.txt never holds them in plain form. It is not strong cryptography:
// the payload is XOR-chained with the eight bytes of a 64-bit key, a random
// first byte makes equal texts encipher differently each time, the payload
// may be compressed, and an optional CRC-16 or SHA-1 block detects a wrong
// key or damaged text. Cipher text is Base64.
//
// Cipher bytes: version 0x03, flags, then the chained body made of the random
// byte, the integrity block (0, 2 or 20 bytes) and the payload.
class StringCipher
{
public:
    enum CompressionPolicy {
        CompressWhenSmaller = 0, // keep the compressed form only if strictly shorter
        CompressAlways = 1,
        CompressNever = 2
    };

    enum IntegrityCheck {
        NoIntegrityCheck = 0,
        Crc16Check = 1, // 2 bytes, qChecksum of the payload
        Sha1Check = 2 // 20 bytes, SHA-1 of the payload
    };

    enum CipherFailure {
        NoFailure = 0,
        MissingKey = 1, // setKey was never called
        BadVersion = 2, // the first cipher byte is not 0x03
        IntegrityMismatch
        = 3 // missing, short or wrong integrity block, or a payload that does not decompress
    };

    StringCipher();
    explicit StringCipher(quint64 key);

    void setKey(quint64 key);

    CompressionPolicy compressionPolicy() const { return compression; }
    void setCompressionPolicy(CompressionPolicy policy) { compression = policy; }
    IntegrityCheck integrityCheck() const { return integrity; }
    void setIntegrityCheck(IntegrityCheck check) { integrity = check; }

    // Outcome of the most recent encipher or decipher operation.
    CipherFailure lastFailure() const { return failure; }

    // Every operation returns an empty result on failure.
    QByteArray encipherBytes(const QByteArray &plaintext);
    QByteArray encipherTextToBytes(const QString &plaintext);
    QString encipherText(const QString &plaintext);
    QString encipherBytesToText(const QByteArray &plaintext);

    QByteArray decipherBytes(const QByteArray &cipher);
    QString decipherBytesToText(const QByteArray &cipher);
    QString decipherText(const QString &cipher);
    QByteArray decipherTextToBytes(const QString &cipher);

private:
    enum Flag { FlagCompressed = 0x01, FlagCrc16 = 0x02, FlagSha1 = 0x04 };

    static constexpr char version = 0x03;

    bool hasKey();
    void chain(QByteArray &body) const;
    void unchain(QByteArray &body) const;
    bool checkIntegrity(char flags, QByteArray &payload) const;
    static bool uncompressPayload(const QByteArray &compressed, QByteArray *result);

    quint64 key = 0;
    QByteArray keyBytes; // 8 bytes once a key is set, least significant first
    CompressionPolicy compression = CompressWhenSmaller;
    IntegrityCheck integrity = Crc16Check;
    CipherFailure failure = NoFailure; // exposed as lastFailure()
};

#endif // STRINGCIPHER_H
