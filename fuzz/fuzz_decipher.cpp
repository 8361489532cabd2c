// Feeds arbitrary bytes to the cipher, as cipher bytes and as cipher text
// read from config.txt: it must never crash, read out of bounds or allocate
// what damaged text announces, and an empty result is the only failure. The
// same bytes, enciphered with the settings the first byte picks, must come
// back unchanged.
#include "mainwindow.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

bool isConfigurationOnlyBuild()
{
    return false;
}

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static StringCipher cipher(passwordCipherKey);
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    const QByteArray plain = cipher.decipherBytes(bytes);
    if (!plain.isEmpty() && cipher.lastFailure() != StringCipher::NoFailure)
        abort();
    cipher.decipherText(QString::fromLatin1(bytes));
    cipher.decipherTextToBytes(QString::fromUtf8(bytes));

    const int settings = size ? data[0] % 9 : 0;
    cipher.setCompressionPolicy(StringCipher::CompressionPolicy(settings / 3));
    cipher.setIntegrityCheck(StringCipher::IntegrityCheck(settings % 3));
    const QByteArray enciphered = cipher.encipherBytes(bytes);
    if (cipher.decipherBytes(enciphered) != bytes
        || cipher.lastFailure() != StringCipher::NoFailure)
        abort();
    return 0;
}
