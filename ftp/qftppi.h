#ifndef QFTPPI_H
#define QFTPPI_H

// PLACEHOLDER: not written yet.

#endif
