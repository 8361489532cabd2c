#ifndef QFTPGLOBAL_H
#define QFTPGLOBAL_H

// What the facade, the interpreter and the data process of the FTP client
// share: the connection states and error codes (signals carry them as plain
// ints, so their values are part of the interface), the ways of using TLS,
// and the name of the dynamic property that passes a network session down to
// the sockets. QFtp re-exports the enumerations under its own name.
struct QFtpGlobal
{
    enum State { Unconnected, HostLookup, Connecting, Connected, LoggedIn, Closing };
    enum Error {
        NoError,
        UnknownError,
        HostNotFound,
        ConnectionRefused,
        NotConnected,
        TlsFailed // the server refused TLS, or its certificate is not trusted
    };
    // FTP over TLS (RFC 4217).
    enum TlsMode {
        NoTls, // plain FTP
        ExplicitTls, // AUTH TLS right after the greeting, then PBSZ 0 and PROT P after login
        ImplicitTls // TLS from the first byte (port 990 by custom), PBSZ 0 and PROT P after login
    };

    // Copied from the facade to the interpreter, and from there to every
    // socket and listener, before each connection.
    static constexpr char networkSessionProperty[] = "_q_networksession";
};

#endif // QFTPGLOBAL_H
