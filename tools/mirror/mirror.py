#!/usr/bin/python3
"""A local stand-in for Ostrelle's servers, on 127.0.0.1.

One process serves two ports with the same content: HTTPS (a self-signed
certificate made with openssl) for the account and resource servers, and
plain HTTP for the toolchain archive.

- GET/HEAD serve files from a directory laid out like the resource server
  (<root>/uploads/web/ostrelle/<product>/sdk/<file>, or any other path put
  with put_path), with Range support (206, and 416 past the end) so that
  `wget -c` continues a partial file.
- POST /ldap.php answers the sign-in with a configurable reply.
- Every request is logged (method, path, Range header, body).
- A path can be told to arrive cut short after N bytes, or to answer an
  error status such as 404.

Used as a module by the end-to-end tests (tests/e2e/testbed.py) and from the
command line to run the test-bed build of the program by hand:

    python3 tools/mirror/mirror.py --demo
"""

import argparse
import hashlib
import http.server
import io
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import zipfile

RESOURCE_PREFIX = '/uploads/web/ostrelle/'
LDAP_PATH = '/ldap.php'
DEFAULT_LDAP_REPLY = b'{"status": 1, "mail": "user@example.com"}\n'


class Request:
    """One request the mirror received."""

    def __init__(self, scheme, method, path, range_header, body, headers):
        self.scheme = scheme        # 'https' or 'http'
        self.method = method        # 'GET', 'HEAD', 'POST'
        self.path = path            # the request path as sent
        self.range = range_header   # the Range header, or None
        self.body = body            # bytes (POST only, else b'')
        self.headers = headers      # dict of all headers

    def __repr__(self):
        return 'Request(%s %s %s range=%r body=%r)' % (
            self.scheme, self.method, self.path, self.range, self.body)


def resource_path(product, name):
    """The server path of a file of a product's sdk folder."""
    return '%s%s/sdk/%s' % (RESOURCE_PREFIX, product, name)


def make_certificate(directory):
    """Writes a self-signed certificate and key for 127.0.0.1; returns both paths."""
    cert = os.path.join(directory, 'mirror-cert.pem')
    key = os.path.join(directory, 'mirror-key.pem')
    subprocess.run(
        ['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt',
         'ec_paramgen_curve:prime256v1', '-nodes', '-days', '3650',
         '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1',
         '-keyout', key, '-out', cert],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def _parse_range(header, size):
    """(start, end) inclusive for a single 'bytes=S-E' / 'bytes=S-' / 'bytes=-N'
    range, 'unsatisfiable', or None when the header is absent or not understood."""
    if not header or not header.startswith('bytes=') or ',' in header:
        return None
    ranges = header[len('bytes='):].strip()
    first, sep, last = ranges.partition('-')
    if not sep:
        return None
    try:
        if first == '':
            count = int(last)
            if count <= 0:
                return 'unsatisfiable'
            return (max(0, size - count), size - 1)
        start = int(first)
        end = int(last) if last else size - 1
    except ValueError:
        return None
    if start >= size or end < start:
        return 'unsatisfiable'
    return (start, min(end, size - 1))


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.0'
    server_version = 'OstrelleMirror/1'
    sys_version = ''

    def setup(self):
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(30)
            try:
                self.request.do_handshake()
            except (ssl.SSLError, OSError):
                self.request.close()
                raise
        super().setup()

    def log_message(self, fmt, *args):  # quiet: requests go to Mirror.requests
        pass

    @property
    def mirror(self):
        return self.server.mirror

    def _record(self, body=b''):
        req = Request(self.server.scheme, self.command, self.path,
                      self.headers.get('Range'), body, dict(self.headers.items()))
        self.mirror._log(req)
        return req

    def _plain(self, status, text=b'', extra=()):
        self.send_response(status)
        self.send_header('Content-Type', 'text/plain')
        self.send_header('Content-Length', str(len(text)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(text)

    def do_POST(self):
        length = int(self.headers.get('Content-Length') or 0)
        body = self.rfile.read(length) if length > 0 else b''
        self._record(body)
        path = self.path.split('?', 1)[0]
        failure = self.mirror._take_failure(path)
        if failure:
            self._plain(failure, b'error\n')
            return
        if path != LDAP_PATH:
            self._plain(404, b'not found\n')
            return
        reply = self.mirror._take_ldap_reply(body)
        self.send_response(200)
        self.send_header('Content-Type', 'text/html')
        self.send_header('Content-Length', str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def do_HEAD(self):
        self._serve(head=True)

    def do_GET(self):
        self._serve(head=False)

    def _serve(self, head):
        self._record()
        path = self.path.split('?', 1)[0]
        failure = self.mirror._take_failure(path)
        if failure:
            self._plain(failure, b'error\n')
            return
        data = self.mirror._read(path)
        if data is None:
            self._plain(404, b'not found\n')
            return
        cut = None if head else self.mirror._take_cut(path)
        size = len(data)
        announced = size
        if cut is not None and not cut[1]:
            # The server pretends the file ends after N bytes.
            announced = min(size, cut[0])
        rng = _parse_range(self.headers.get('Range'), announced)
        if rng == 'unsatisfiable':
            self._plain(416, b'', [('Content-Range', 'bytes */%d' % announced)])
            return
        if rng is None:
            start, end, status = 0, announced - 1, 200
        else:
            start, end, status = rng[0], rng[1], 206
        self.send_response(status)
        self.send_header('Content-Type', 'application/octet-stream')
        self.send_header('Accept-Ranges', 'bytes')
        self.send_header('Content-Length', str(end - start + 1))
        if status == 206:
            self.send_header('Content-Range', 'bytes %d-%d/%d' % (start, end, announced))
        self.end_headers()
        if head:
            return
        if cut is not None and cut[1]:
            # Broken connection: the body stops at offset N although the
            # headers promised more.
            stop = max(start, min(end + 1, cut[0]))
            self.wfile.write(data[start:stop])
            self.wfile.flush()
            self.close_connection = True
            try:
                self.request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        self.wfile.write(data[start:end + 1])


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, mirror, scheme, context):
        self.mirror = mirror
        self.scheme = scheme
        self.context = context
        super().__init__(address, _Handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        if self.context is not None:
            # The handshake happens in the request's own thread (setup), so
            # a slow client cannot hold up the accept loop.
            sock = self.context.wrap_socket(sock, server_side=True,
                                            do_handshake_on_connect=False)
        return sock, addr


class Mirror:
    """The account and resource servers on loopback.

    root: directory served (created if missing; a temporary one by default).
    https_port / http_port: 0 picks free ports.
    workdir: where the mirror's own temporary directory (certificate, default
    root) is made; the system's temporary directory by default.
    """

    def __init__(self, root=None, https_port=0, http_port=0, host='127.0.0.1', workdir=None):
        self._own_dir = tempfile.mkdtemp(prefix='ostrelle-mirror-', dir=workdir)
        self.root = root or os.path.join(self._own_dir, 'root')
        os.makedirs(self.root, exist_ok=True)
        self.host = host
        self._want_ports = (https_port, http_port)
        self._lock = threading.Lock()
        self.requests = []
        # The sign-in reply: bytes, or a callable taking the request body and
        # returning bytes. set_ldap_replies queues replies used first.
        self.ldap_reply = DEFAULT_LDAP_REPLY
        self._ldap_queue = []
        self._cuts = {}      # path -> [nbytes, close, times left or None]
        self._failures = {}  # path -> [status, times left or None]
        self._servers = []
        self._threads = []
        self.https_port = None
        self.http_port = None

    # -- lifecycle --------------------------------------------------------
    def start(self):
        cert, key = make_certificate(self._own_dir)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        https = _Server((self.host, self._want_ports[0]), self, 'https', context)
        http = _Server((self.host, self._want_ports[1]), self, 'http', None)
        self._servers = [https, http]
        self.https_port = https.server_address[1]
        self.http_port = http.server_address[1]
        for server in self._servers:
            thread = threading.Thread(target=server.serve_forever,
                                      kwargs={'poll_interval': 0.1}, daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self):
        for server in self._servers:
            server.shutdown()
            server.server_close()
        for thread in self._threads:
            thread.join(timeout=5)
        self._servers = []
        self._threads = []
        shutil.rmtree(self._own_dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def https_url(self):
        return 'https://%s:%d' % (self.host, self.https_port)

    @property
    def http_url(self):
        return 'http://%s:%d' % (self.host, self.http_port)

    # -- content ----------------------------------------------------------
    def _file(self, url_path):
        rel = os.path.normpath(url_path.lstrip('/'))
        if rel.startswith('..') or os.path.isabs(rel):
            raise ValueError('path outside the mirror: %r' % url_path)
        return os.path.join(self.root, rel)

    def put_path(self, url_path, data):
        """Serves data (bytes or str) at url_path on both ports."""
        if isinstance(data, str):
            data = data.encode()
        path = self._file(url_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)

    def put(self, product, name, data):
        """Serves a file of a product's sdk folder."""
        self.put_path(resource_path(product, name), data)

    def remove_path(self, url_path):
        try:
            os.unlink(self._file(url_path))
        except FileNotFoundError:
            pass

    def _read(self, url_path):
        try:
            path = self._file(url_path)
        except ValueError:
            return None
        if not os.path.isfile(path):
            return None
        with open(path, 'rb') as f:
            return f.read()

    # -- behaviour --------------------------------------------------------
    def set_ldap_reply(self, reply):
        """The reply to every sign-in (bytes, str or callable(body) -> bytes)."""
        self.ldap_reply = reply

    def set_ldap_replies(self, replies):
        """Replies for the next sign-ins in order; then ldap_reply again."""
        with self._lock:
            self._ldap_queue = list(replies)

    def cut(self, url_path, nbytes, times=1, close=False):
        """The next `times` GETs of url_path (None: all) deliver at most the
        first nbytes of the file. By default the server announces the file as
        nbytes long, so the client ends cleanly with a short file; with
        close=True it announces the full length and drops the connection
        after nbytes (a broken connection, which wget itself retries)."""
        with self._lock:
            self._cuts[url_path] = [nbytes, close, times]

    def fail(self, url_path, status=404, times=None):
        """The next `times` requests of url_path (None: all) answer status."""
        with self._lock:
            self._failures[url_path] = [status, times]

    def clear(self, url_path):
        """Removes any cut or failure set for url_path."""
        with self._lock:
            self._cuts.pop(url_path, None)
            self._failures.pop(url_path, None)

    def _take(self, table, url_path):
        with self._lock:
            entry = table.get(url_path)
            if entry is None:
                return None
            if entry[-1] is not None:
                entry[-1] -= 1
                if entry[-1] <= 0:
                    del table[url_path]
            return entry

    def _take_cut(self, url_path):
        entry = self._take(self._cuts, url_path)
        return None if entry is None else (entry[0], entry[1])

    def _take_failure(self, url_path):
        entry = self._take(self._failures, url_path)
        return None if entry is None else entry[0]

    def _take_ldap_reply(self, body):
        with self._lock:
            reply = self._ldap_queue.pop(0) if self._ldap_queue else self.ldap_reply
        if callable(reply):
            reply = reply(body)
        if isinstance(reply, str):
            reply = reply.encode()
        return reply

    def _log(self, request):
        with self._lock:
            self.requests.append(request)

    def requests_for(self, path, method=None):
        """The logged requests of one path (and method), in order."""
        with self._lock:
            return [r for r in self.requests
                    if r.path.split('?', 1)[0] == path and (method is None or r.method == method)]


# -- demo content and the command line ------------------------------------
PRODUCT_TAGS = {
    'kt1': ['_le_'], 'kt2': ['_le_'], 'kt3gen2': ['_lu_'], 'kt6': ['_lu_'],
    'mx7200': ['_lu_'], 'kt5n': ['_lu2.0_'],
    'kt5': ['_lu_', '_le_', '_lu1.0_', '_lu2.0_', '_le1.0_', '_le2.0_'],
}


def demo_package(release):
    """A small zip whose top level is the release directory."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        z.writestr(release + '/README.txt', 'Demo release %s from the local mirror.\n' % release)
    return buf.getvalue()


def put_demo(mirror):
    """Puts a release list with two demo releases for every product and platform."""
    for product, tags in PRODUCT_TAGS.items():
        for tag in tags:
            lines = []
            for n in (2, 1):
                release = '%s%sdemo-%d.0' % (product, tag, n)
                package = demo_package(release)
                mirror.put(product, release + '.zip', package)
                lines.append('%s %s\n' % (release, hashlib.sha256(package).hexdigest()))
            mirror.put(product, product + tag + 'release_ver.txt', ''.join(lines))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--root', help='directory to serve (default: a temporary one)')
    parser.add_argument('--https-port', type=int, default=8443)
    parser.add_argument('--http-port', type=int, default=8480)
    parser.add_argument('--ldap-reply', default=DEFAULT_LDAP_REPLY.decode().strip(),
                        help='first line of the sign-in reply (default: status 1)')
    parser.add_argument('--demo', action='store_true',
                        help='fill the root with release lists and packages for every product')
    args = parser.parse_args(argv)
    mirror = Mirror(root=args.root, https_port=args.https_port, http_port=args.http_port)
    mirror.set_ldap_reply(args.ldap_reply + '\n')
    if args.demo:
        put_demo(mirror)
    mirror.start()
    print('mirror: serving %s' % mirror.root)
    print('mirror: %s (account and resource server), %s (toolchain archive)'
          % (mirror.https_url, mirror.http_url))
    print('mirror: Ctrl-C stops')
    sys.stdout.flush()

    def stop_on_term(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop_on_term)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        mirror.stop()
        for r in mirror.requests:
            print('mirror: %s %s %s%s' % (r.scheme, r.method, r.path,
                                          ' Range: ' + r.range if r.range else ''))
    return 0


if __name__ == '__main__':
    sys.exit(main())
