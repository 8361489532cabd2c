#include "sha256.h"

#include <QFile>

#include <openssl/evp.h>

namespace {

const qint64 blockSize = 4 * 1024 * 1024;

} // namespace

void Sha256::ContextDeleter::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

Sha256::Sha256()
    : context(EVP_MD_CTX_new())
{
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::addData(const char *data, qint64 size)
{
    EVP_DigestUpdate(context.get(), data, size_t(size));
}

QByteArray Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

QByteArray Sha256::ofFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    Sha256 hash;
    QByteArray block(int(blockSize), Qt::Uninitialized);
    for (;;) {
        const qint64 count = file.read(block.data(), blockSize);
        if (count < 0)
            return QByteArray();
        if (count == 0)
            return hash.hexResult();
        hash.addData(block.constData(), count);
    }
}
