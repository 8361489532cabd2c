#!/usr/bin/python3
"""A throwaway FTP server for the tests, on top of Debian's pyftpdlib.

Prints "PORT <n>" once it listens, so that the test can wait for it, and
appends every command it receives to --log (one line each, PASS masked).
"""
import argparse
import hashlib
import os
import stat
import socket
import struct
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", default="mirvo")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--perm", default="elradfmwMT")
    parser.add_argument("--log", default="")
    parser.add_argument("--throttle", type=int, default=0,
                        help="bytes per second on data connections (0: no limit)")
    parser.add_argument("--drop-after", type=int, default=0,
                        help="close the control connection on the n-th STOR (0: never)")
    parser.add_argument("--cut-stores", type=int, default=0,
                        help="the first n STORs keep 100 bytes, then close and answer 226")
    parser.add_argument("--refuse-rename-over", action="store_true",
                        help="RNTO onto an existing name is refused with 553")
    parser.add_argument("--refuse-rnfr", action="store_true",
                        help="RNFR is refused with 502")
    parser.add_argument("--size-off", type=int, default=0,
                        help="SIZE answers the real size plus this many bytes")
    parser.add_argument("--no-size", action="store_true", help="SIZE is refused with 502")
    parser.add_argument("--dos-listing", action="store_true",
                        help="LIST in the DOS layout, which shows a link as what it leads to")
    parser.add_argument("--answer", action="append", default=[],
                        help="VERB:N:REPLY: the n-th VERB (0: every one) is answered with "
                             "REPLY and not carried out; REPLY 'drop' closes the control "
                             "connection, a 421 closes it after the reply")
    parser.add_argument("--reset-after", type=int, default=0,
                        help="the first STOR's data connection is reset after n bytes")
    parser.add_argument("--hash", choices=["right", "wrong"], default=None,
                        help="FEAT lists HASH (SHA-1 in use, SHA-256 on OPTS); 'wrong' "
                             "answers a digest of other bytes")
    parser.add_argument("--grow", default="",
                        help="this file grows by 1000 bytes while the first STOR is received")
    args = parser.parse_args()
    answers = {}
    for answer in args.answer:
        verb, nth, reply = answer.split(":", 2)
        answers.setdefault(verb.upper(), []).append((int(nth), reply))
    seen = {}

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm=args.perm)

    log = open(args.log, "a", buffering=1) if args.log else None

    class Handler(FTPHandler):
        stores = 0
        proto_cmds = dict(FTPHandler.proto_cmds, HASH=dict(
            perm="r", auth=True, arg=True, help="Syntax: HASH <SP> path"))
        algorithm = "SHA-1"

        def on_login(self, username):
            if args.hash:
                self._extra_feats = self._extra_feats + ["HASH SHA-1*;SHA-256"]

        def ftp_OPTS(self, line):
            if args.hash and line.upper() == "HASH SHA-256":
                self.algorithm = "SHA-256"
                self.respond("200 SHA-256")
                return
            return FTPHandler.ftp_OPTS(self, line)

        def ftp_HASH(self, path):
            if not args.hash or not self.fs.isfile(path):
                self.respond("550 Not a file.")
                return
            with open(path, "rb") as f:
                data = f.read()
            if args.hash == "wrong":
                data += b"x"
            digest = hashlib.new(self.algorithm.replace("-", "").lower(), data).hexdigest()
            self.respond("213 %s 0-%d %s %s" % (self.algorithm, len(data), digest,
                                                 self.fs.fs2ftp(path)))

        def pre_process_command(self, line, cmd, arg):
            if log:
                log.write(("PASS ****" if cmd == "PASS" else line) + "\n")
            seen[cmd] = seen.get(cmd, 0) + 1
            for nth, reply in answers.get(cmd, []):
                if nth in (0, seen[cmd]):
                    if reply == "drop":
                        self.close()
                    else:
                        self.respond(reply)
                        if reply.startswith("421"):
                            self.close_when_done()
                    return
            if cmd == "STOR" and args.drop_after:
                Handler.stores += 1
                if Handler.stores >= args.drop_after:
                    self.close()
                    return
            if cmd == "RNFR" and args.refuse_rnfr or cmd == "SIZE" and args.no_size:
                self.respond("502 Command not implemented.")
                return
            return FTPHandler.pre_process_command(self, line, cmd, arg)

        def ftp_RNTO(self, path):
            if args.refuse_rename_over and self._rnfr and self.fs.lexists(path):
                self._rnfr = None
                self.respond("553 Cannot rename onto an existing file.")
                return
            return FTPHandler.ftp_RNTO(self, path)

        def ftp_SIZE(self, path):
            if args.size_off and self.fs.isfile(path):
                self.respond("213 %d" % (self.fs.getsize(path) + args.size_off))
                return
            return FTPHandler.ftp_SIZE(self, path)

    class DosListing(AbstractedFS):
        def format_list(self, basedir, listing, ignore_err=True):
            for basename in listing:
                try:
                    st = os.stat(os.path.join(basedir, basename))
                except OSError:
                    if ignore_err:
                        continue
                    raise
                stamp = time.strftime("%m-%d-%y  %I:%M%p", time.localtime(st.st_mtime))
                size = "<DIR>" if stat.S_ISDIR(st.st_mode) else str(st.st_size)
                line = "%s %14s %s\r\n" % (stamp, size, basename)
                yield line.encode("utf8", self.cmd_channel.unicode_errors)

    Handler.authorizer = authorizer
    if args.dos_listing:
        Handler.abstracted_fs = DosListing
    Handler.banner = "mirvo test server ready"
    if args.throttle:
        class Throttled(ThrottledDTPHandler):
            read_limit = args.throttle
            write_limit = args.throttle
        Handler.dtp_handler = Throttled

    class Cutting(Handler.dtp_handler):
        left = args.cut_stores

        def handle_read(self):
            if Cutting.left <= 0:
                return super().handle_read()
            Cutting.left -= 1
            self.file_obj.write(self.recv(100))
            self._resp = ("226 Transfer complete.", lambda *a: None)
            self.close()
        handle_read_event = handle_read  # the base class aliases it too
    Handler.dtp_handler = Cutting

    class Faulty(Handler.dtp_handler):
        """Resets the first upload's connection part way, or makes its
        source grow while it is received."""
        reset_left = args.reset_after
        grow = args.grow
        received = 0

        def handle_read(self):
            if not Faulty.reset_left and not Faulty.grow:
                return super().handle_read()
            if Faulty.grow:
                with open(Faulty.grow, "ab") as source:
                    source.write(b"g" * 1000)
                Faulty.grow = ""
                return super().handle_read()
            chunk = self.recv(65536)
            keep = chunk[:Faulty.reset_left - Faulty.received]
            self.file_obj.write(keep)
            Faulty.received += len(keep)
            if Faulty.received >= Faulty.reset_left:
                Faulty.reset_left = 0
                self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
                self._resp = ("426 Connection reset; transfer aborted.", lambda *a: None)
                self.close()
        handle_read_event = handle_read
    Handler.dtp_handler = Faulty

    server = FTPServer((args.address, args.port), Handler)
    server.max_cons = 64
    print("PORT %d" % server.socket.getsockname()[1], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    sys.exit(main())
