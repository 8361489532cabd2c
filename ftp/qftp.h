#ifndef QFTP_H
#define QFTP_H

// PLACEHOLDER: not written yet.

#endif
