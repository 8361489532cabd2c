#ifndef STRINGCIPHER_H
#define STRINGCIPHER_H

#include <QtGlobal>

// PLACEHOLDER declaration, completed with the cipher itself.
class StringCipher
{
public:
    StringCipher() = default;
};

#endif // STRINGCIPHER_H
