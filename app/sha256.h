#ifndef SHA256_H
#define SHA256_H

#include <QByteArray>
#include <QString>

#include <memory>

struct evp_md_ctx_st;

// SHA-256 through OpenSSL, which uses the processor's own instructions for
// it where there are some: several times faster than Qt's.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(const char *data, qint64 size);
    // The digest as 64 lowercase hexadecimal digits; the hash starts afresh.
    QByteArray hexResult();

    // The digest of the file at `path`, read in blocks; empty when it cannot
    // be read whole.
    static QByteArray ofFile(const QString &path);

private:
    struct ContextDeleter
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context;
};

#endif // SHA256_H
