"""A local stand-in for Ostrelle's account and resource servers.

One process serves two ports with the same content: HTTPS for the account
and resource servers (a certificate signed by a certificate authority of the
mirror's own, both made with openssl at start, or one given with
--cert/--key) and plain HTTP for the toolchain archive.

- GET/HEAD serve files from a directory laid out like the resource server
  (<root>/uploads/web/ostrelle/<product>/sdk/<file>, or any other path below
  the root), with Range support (206, and 416 past the end) so that
  `wget -c` continues a partial file. Files are streamed from disk.
- POST /ldap.php answers the sign-in: from an accounts file (passwords kept
  as salted PBKDF2-HMAC-SHA256 hashes) when one is given, else with a fixed
  reply.
- Every request is logged on one line (and kept in memory for tests).
- For tests, a path can be told to arrive cut short after N bytes, or to
  answer an error status such as 404.

Used as a module by the end-to-end tests and the demo, and from the command
line by labs that mirror the maker's releases (see tools/mirror/README.md):

    python3 tools/mirror/mirror.py --root DIR --accounts FILE
    python3 tools/mirror/mirror.py add-account FILE EMAIL
"""

import argparse
import base64
import datetime
import getpass
import hashlib
import hmac
import http.server
import io
import ipaddress
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zipfile

RESOURCE_PREFIX = '/uploads/web/ostrelle/'
LDAP_PATH = '/ldap.php'
DEFAULT_LDAP_REPLY = b'{"status": 1, "mail": "user@example.com"}\n'
# The program refuses a reply line longer than this, its line end included.
REPLY_MAX = 127
CHUNK = 64 * 1024


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


def _openssl(*args):
    subprocess.run(['openssl'] + list(args), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_certificate(directory, host='127.0.0.1'):
    """Writes a certificate authority of the mirror's own and a server
    certificate it signed for 127.0.0.1, localhost and host (subjectAltName
    entries, which is what a client checks); returns the paths of the server
    certificate, its key and the authority's certificate, the file a client
    trusts (the program's OSTRELLE_CA_FILE)."""
    ca = os.path.join(directory, 'mirror-ca.pem')
    ca_key = os.path.join(directory, 'mirror-ca-key.pem')
    cert = os.path.join(directory, 'mirror-cert.pem')
    key = os.path.join(directory, 'mirror-key.pem')
    csr = os.path.join(directory, 'mirror.csr')
    extensions = os.path.join(directory, 'mirror-ext.cnf')
    names = ['IP:127.0.0.1', 'DNS:localhost']
    try:
        address = ipaddress.ip_address(host)
        if not address.is_unspecified and str(address) != '127.0.0.1':
            names.append('IP:%s' % address)
    except ValueError:
        names.append('DNS:%s' % host)
    ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes']
    _openssl('req', '-x509', *ec, '-days', '3650', '-subj', '/CN=Ostrelle mirror CA',
             '-addext', 'basicConstraints=critical,CA:TRUE',
             '-addext', 'keyUsage=critical,keyCertSign,cRLSign',
             '-keyout', ca_key, '-out', ca)
    _openssl('req', '-new', *ec, '-subj', '/CN=%s' % host, '-keyout', key, '-out', csr)
    with open(extensions, 'w') as f:
        f.write('subjectAltName=%s\nbasicConstraints=CA:FALSE\n'
                'extendedKeyUsage=serverAuth\n' % ','.join(names))
    _openssl('x509', '-req', '-in', csr, '-CA', ca, '-CAkey', ca_key,
             '-set_serial', str(int.from_bytes(os.urandom(8), 'big')), '-days', '3650',
             '-extfile', extensions, '-out', cert)
    return cert, key, ca


# -- accounts ------------------------------------------------------------------
HASH_SCHEME = 'pbkdf2_sha256'
HASH_ITERATIONS = 200000


def hash_password(password, salt=None, iterations=HASH_ITERATIONS):
    """The stored form of a password: scheme$iterations$salt$hash (base64)."""
    if isinstance(password, str):
        password = password.encode('utf-8', 'surrogateescape')
    salt = salt if salt is not None else os.urandom(16)
    digest = hashlib.pbkdf2_hmac('sha256', password, salt, iterations)
    return '%s$%d$%s$%s' % (HASH_SCHEME, iterations, base64.b64encode(salt).decode(),
                            base64.b64encode(digest).decode())


def check_password(password, stored):
    """True when password matches the stored form (constant-time compare)."""
    if isinstance(password, str):
        password = password.encode('utf-8', 'surrogateescape')
    try:
        scheme, iterations, salt, digest = stored.split('$')
        if scheme != HASH_SCHEME:
            return False
        salt = base64.b64decode(salt, validate=True)
        digest = base64.b64decode(digest, validate=True)
        iterations = int(iterations)
    except (ValueError, TypeError):
        return False
    if iterations <= 0:
        return False
    return hmac.compare_digest(hashlib.pbkdf2_hmac('sha256', password, salt, iterations), digest)


def reply_line(status, mail=None):
    """The one-line JSON sign-in reply; "mail" is left out where it would
    make the line longer than the program accepts."""
    line = json.dumps({'status': status, 'mail': mail}) + '\n'
    if mail is None or len(line.encode()) > REPLY_MAX:
        line = json.dumps({'status': status}) + '\n'
    return line.encode()


class Accounts:
    """An accounts file: one account a line, "<e-mail> <stored hash>";
    blank lines and lines starting with "#" are ignored. The file is read at
    every sign-in, so accounts added while the mirror runs count at once."""

    def __init__(self, path):
        self.path = path

    def load(self):
        accounts = {}
        try:
            with open(self.path, encoding='utf-8') as f:
                for line in f:
                    words = line.split()
                    if len(words) == 2 and not words[0].startswith('#'):
                        accounts[words[0]] = words[1]
        except FileNotFoundError:
            pass
        return accounts

    def add(self, mail, password):
        """Adds the account or replaces its password. The file is written
        anew (mode 0600) and replaces the old one in one step."""
        if not mail or any(c.isspace() for c in mail) or mail.startswith('#'):
            raise ValueError('an e-mail address without blanks is needed: %r' % mail)
        accounts = self.load()
        accounts[mail] = hash_password(password)
        directory = os.path.dirname(os.path.abspath(self.path))
        os.makedirs(directory, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix='.accounts-', dir=directory)
        try:
            with os.fdopen(fd, 'w', encoding='utf-8') as f:
                f.write('# Ostrelle mirror accounts: e-mail and salted PBKDF2-HMAC-SHA256 hash\n')
                for name in sorted(accounts):
                    f.write('%s %s\n' % (name, accounts[name]))
            os.replace(tmp, self.path)
        except BaseException:
            os.unlink(tmp)
            raise

    def status(self, mail, password):
        """1 for a known account and its password, -1 for a wrong password,
        0 for an unknown account."""
        stored = self.load().get(mail)
        if stored is None:
            return 0
        return 1 if check_password(password, stored) else -1

    def reply(self, body):
        """The sign-in reply to a form-encoded body "mail=...&pwd=..."."""
        mail, password = parse_sign_in(body)
        if mail is None:
            return reply_line(0)
        return reply_line(self.status(mail, password or ''), mail)


def parse_sign_in(body):
    """(mail, password) of a form-encoded sign-in body; None for a field
    that is missing."""
    fields = urllib.parse.parse_qs(body.decode('latin-1'), keep_blank_values=True,
                                   encoding='utf-8', errors='surrogateescape')
    mail = fields.get('mail', [None])[0]
    password = fields.get('pwd', [None])[0]
    return mail, password


# -- the server ------------------------------------------------------------------
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

    def log_message(self, fmt, *args):  # requests are logged by _log_line
        pass

    def date_time_string(self, timestamp=None):
        # The Date header follows the mirror's clock (clock_offset).
        if timestamp is None:
            timestamp = time.time() + self.mirror.clock_offset
        return super().date_time_string(timestamp)

    @property
    def mirror(self):
        return self.server.mirror

    def _record(self, body=b''):
        req = Request(self.server.scheme, self.command, self.path,
                      self.headers.get('Range'), body, dict(self.headers.items()))
        self.mirror._log(req)
        return req

    def _log_line(self, status, sent, note=''):
        self.mirror._log_line(self.client_address[0], self.server.scheme, self.command,
                              self.path, status, sent, self.headers.get('Range'), note)

    def _plain(self, status, text=b'', extra=()):
        self.send_response(status)
        self.send_header('Content-Type', 'text/plain')
        self.send_header('Content-Length', str(len(text)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(text)
        self._log_line(status, 0 if self.command == 'HEAD' else len(text))

    def do_POST(self):
        try:
            length = int(self.headers.get('Content-Length') or 0)
        except ValueError:
            length = 0
        body = self.rfile.read(min(length, 1 << 20)) if length > 0 else b''
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
        # The log names the account and the answer, never the password.
        mail = parse_sign_in(body)[0]
        self._log_line(200, len(reply), 'mail=%s reply=%s' % (
            mail, reply.split(b'\n', 1)[0].decode('utf-8', 'replace')))

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
        if not head and self.mirror._is_endless(path):
            self._send_endless()
            return
        # A file stored under the escaped name (as the tests put some) is
        # found first; otherwise the name as the client meant it.
        f = self.mirror._open(path) or self.mirror._open(urllib.parse.unquote(path))
        if f is None:
            self._plain(404, b'not found\n')
            return
        with f:
            self._send_file(f, head, path)

    def _send_endless(self):
        """Line feeds without end and without a length, until the client
        goes away."""
        self.send_response(200)
        self.send_header('Content-Type', 'text/plain')
        self.end_headers()
        chunk = b'\n' * CHUNK
        sent = 0
        try:
            while True:
                self.wfile.write(chunk)
                sent += len(chunk)
        except OSError:
            pass
        self.close_connection = True
        self._log_line(200, sent, 'endless')

    def _send_file(self, f, head, path):
        size = os.fstat(f.fileno()).st_size
        cut = None if head else self.mirror._take_cut(path)
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
            self._log_line(status, 0)
            return
        stop = end + 1
        if cut is not None and cut[1]:
            # Broken connection: the body stops at offset N although the
            # headers promised more.
            stop = max(start, min(end + 1, cut[0]))
        sent = 0
        f.seek(start)
        try:
            while start + sent < stop:
                data = f.read(min(CHUNK, stop - start - sent))
                if not data:
                    break
                self.wfile.write(data)
                sent += len(data)
            self.wfile.flush()
        except OSError:
            # The client went away; what was sent is logged.
            self.close_connection = True
        self._log_line(status, sent, 'cut' if stop <= end else '')
        if cut is not None and cut[1]:
            self.close_connection = True
            try:
                self.request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, mirror, scheme, context):
        self.mirror = mirror
        self.scheme = scheme
        self.context = context
        if ':' in address[0]:
            self.address_family = socket.AF_INET6
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
    """The account and resource servers.

    root: directory served (created if missing; a temporary one by default).
    https_port / http_port: 0 picks free ports.
    host: the address both ports listen on (loopback by default).
    workdir: where the mirror's own temporary directory (certificate, default
    root) is made; the system's temporary directory by default.
    accounts: an accounts file path (or Accounts) that answers sign-ins;
    without one every sign-in gets DEFAULT_LDAP_REPLY (set_ldap_reply
    overrides either).
    log: a text stream that gets one line per request.
    cert, key: certificate and key files; without them a certificate
    authority and a certificate it signed are made at start, and ca_file
    names the authority's certificate, which clients trust.
    """

    def __init__(self, root=None, https_port=0, http_port=0, host='127.0.0.1', workdir=None,
                 accounts=None, log=None, cert=None, key=None):
        self._own_dir = tempfile.mkdtemp(prefix='ostrelle-mirror-', dir=workdir)
        self.root = root or os.path.join(self._own_dir, 'root')
        os.makedirs(self.root, exist_ok=True)
        self.host = host
        self._want_ports = (https_port, http_port)
        self._cert = (cert, key or cert) if cert else None
        # The certificate authority a client trusts for this mirror: the
        # generated one (once started), or None with a certificate given.
        self.ca_file = None
        self._lock = threading.Lock()
        self._log_stream = log
        self.requests = []
        if isinstance(accounts, str):
            accounts = Accounts(accounts)
        self.accounts = accounts
        # The sign-in reply: bytes, or a callable taking the request body and
        # returning bytes. set_ldap_replies queues replies used first.
        self.ldap_reply = accounts.reply if accounts is not None else DEFAULT_LDAP_REPLY
        self._ldap_queue = []
        self._cuts = {}      # path -> [nbytes, close, times left or None]
        self._failures = {}  # path -> [status, times left or None]
        self._endless = set()  # paths answered with an endless body
        self._servers = []
        self._threads = []
        self.https_port = None
        # The certificate the HTTPS port presents (PEM file), once started.
        self.cert_file = None
        # Seconds added to the time in the Date header of every reply.
        self.clock_offset = 0
        self.http_port = None

    # -- lifecycle --------------------------------------------------------
    def start(self):
        if self._cert:
            cert, key = self._cert
        else:
            cert, key, self.ca_file = make_certificate(self._own_dir, self.host)
        self.cert_file = cert
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        https = _Server((self.host, self._want_ports[0]), self, 'https', context)
        try:
            http = _Server((self.host, self._want_ports[1]), self, 'http', None)
        except BaseException:
            https.server_close()
            raise
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

    def _url_host(self):
        host = '127.0.0.1' if self.host in ('', '0.0.0.0') else self.host
        return '[%s]' % host if ':' in host else host

    @property
    def https_url(self):
        return 'https://%s:%d' % (self._url_host(), self.https_port)

    @property
    def http_url(self):
        return 'http://%s:%d' % (self._url_host(), self.http_port)

    # -- content ----------------------------------------------------------
    def _file(self, url_path):
        rel = os.path.normpath(url_path.lstrip('/'))
        if rel.startswith('..') or os.path.isabs(rel) or '\0' in rel:
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

    def _open(self, url_path):
        """The file served at url_path, open for reading, or None."""
        try:
            path = self._file(url_path)
        except ValueError:
            return None
        if not os.path.isfile(path):
            return None
        try:
            return open(path, 'rb')
        except OSError:
            return None

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

    def endless(self, url_path):
        """Every GET of url_path gets line feeds without end (a hostile
        server filling the client's disk)."""
        with self._lock:
            self._endless.add(url_path)

    def _is_endless(self, url_path):
        with self._lock:
            return url_path in self._endless

    def clear(self, url_path):
        """Removes any cut, failure or endless answer set for url_path."""
        with self._lock:
            self._cuts.pop(url_path, None)
            self._failures.pop(url_path, None)
            self._endless.discard(url_path)

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

    def _log_line(self, client, scheme, method, path, status, sent, range_header, note):
        if self._log_stream is None:
            return
        stamp = datetime.datetime.now().isoformat(sep=' ', timespec='seconds')
        line = '%s %s %s %s %s %d %d%s%s\n' % (
            stamp, client, scheme, method, path, status, sent,
            ' range=' + range_header if range_header else '', ' ' + note if note else '')
        with self._lock:
            try:
                self._log_stream.write(line)
                self._log_stream.flush()
            except (OSError, ValueError):
                pass

    def requests_for(self, path, method=None):
        """The logged requests of one path (and method), in order."""
        with self._lock:
            return [r for r in self.requests
                    if r.path.split('?', 1)[0] == path and (method is None or r.method == method)]


# -- quick content for trying the program by hand --------------------------------
PRODUCT_TAGS = {
    'kt1': ['_le_'], 'kt2': ['_le_'], 'kt3gen2': ['_lu_'], 'kt6': ['_lu_'],
    'mx7200': ['_lu_'], 'kt5n': ['_lu2.0_'],
    'kt5': ['_lu_', '_le_', '_lu1.0_', '_lu2.0_', '_le1.0_', '_le2.0_'],
}


def demo_package(release):
    """A small zip whose top level is the release directory. Its entry
    carries a fixed time stamp, so the same release always gives the same
    bytes (and digest)."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        z.writestr(zipfile.ZipInfo(release + '/README.txt', date_time=(2026, 1, 1, 0, 0, 0)),
                   'Demo release %s from the local mirror.\n' % release)
    return buf.getvalue()


def put_demo(mirror):
    """Puts a release list with two placeholder releases for every product
    and platform (the full sample catalogue is catalogue.py)."""
    for product, tags in PRODUCT_TAGS.items():
        for tag in tags:
            lines = []
            for n in (2, 1):
                release = '%s%sdemo-%d.0' % (product, tag, n)
                package = demo_package(release)
                mirror.put(product, release + '.zip', package)
                lines.append('%s %s\n' % (release, hashlib.sha256(package).hexdigest()))
            mirror.put(product, product + tag + 'release_ver.txt', ''.join(lines))


# -- the command line ------------------------------------------------------------
def add_account_main(argv):
    parser = argparse.ArgumentParser(
        prog='mirror.py add-account',
        description='Adds an account to an accounts file, or changes its password. '
                    'The password is asked for on the terminal, or read as the first '
                    'line of standard input with --password-stdin.')
    parser.add_argument('accounts', help='accounts file (created when missing)')
    parser.add_argument('email')
    parser.add_argument('--password-stdin', action='store_true')
    args = parser.parse_args(argv)
    if args.password_stdin:
        password = sys.stdin.readline().rstrip('\n')
    else:
        password = getpass.getpass('Password for %s: ' % args.email)
        if getpass.getpass('Again: ') != password:
            sys.stderr.write('The passwords differ; nothing changed.\n')
            return 1
    if not password:
        sys.stderr.write('An empty password is not accepted; nothing changed.\n')
        return 1
    try:
        Accounts(args.accounts).add(args.email, password)
    except ValueError as e:
        sys.stderr.write('%s\n' % e)
        return 1
    print('%s: account %s saved' % (args.accounts, args.email))
    return 0


def serve_main(argv):
    parser = argparse.ArgumentParser(
        prog='mirror.py',
        description=__doc__.split('\n\n')[0] + ' (add-account ACCOUNTS EMAIL adds an account)')
    parser.add_argument('--root', help='directory to serve (default: a temporary one)')
    parser.add_argument('--bind', default='127.0.0.1',
                        help='address to listen on (default: 127.0.0.1)')
    parser.add_argument('--https-port', type=int, default=8443)
    parser.add_argument('--http-port', type=int, default=8480)
    parser.add_argument('--cert', help='certificate file, PEM (default: one signed by a '
                        'certificate authority generated at start)')
    parser.add_argument('--key', help='key file, PEM (default: in the certificate file)')
    parser.add_argument('--ca-out', help='without --cert: where the generated certificate '
                        'authority is copied (default: ostrelle-mirror-ca.pem here)')
    parser.add_argument('--accounts', help='accounts file answering the sign-in')
    parser.add_argument('--ldap-reply', default=DEFAULT_LDAP_REPLY.decode().strip(),
                        help='without --accounts: the sign-in reply line (default: status 1)')
    parser.add_argument('--log', help='file the request lines are appended to '
                        '(default: standard output)')
    parser.add_argument('--demo', action='store_true',
                        help='fill the root with two placeholder releases for every product')
    args = parser.parse_args(argv)
    if args.key and not args.cert:
        parser.error('--key needs --cert')
    log = open(args.log, 'a', buffering=1) if args.log else sys.stdout
    mirror = Mirror(root=args.root, https_port=args.https_port, http_port=args.http_port,
                    host=args.bind, accounts=args.accounts, log=log, cert=args.cert,
                    key=args.key)
    if not args.accounts:
        mirror.set_ldap_reply(args.ldap_reply + '\n')
    if args.demo:
        put_demo(mirror)
    try:
        mirror.start()
    except OSError as e:
        sys.stderr.write('mirror: cannot listen on %s ports %d and %d: %s\n'
                         % (args.bind, args.https_port, args.http_port, e.strerror or e))
        mirror.stop()
        return 1
    print('mirror: serving %s' % mirror.root)
    if mirror.ca_file:
        ca_copy = args.ca_out or os.path.join(os.getcwd(), 'ostrelle-mirror-ca.pem')
        shutil.copyfile(mirror.ca_file, ca_copy)
        print('mirror: its certificate authority is %s (new at every start); the program '
              'trusts it with OSTRELLE_CA_FILE=%s' % (ca_copy, ca_copy))
    print('mirror: %s (account and resource server), %s (toolchain archive)'
          % (mirror.https_url, mirror.http_url))
    if args.accounts:
        print('mirror: sign-in checked against %s' % args.accounts)
    else:
        print('mirror: every sign-in gets %s' % args.ldap_reply)
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
        print('mirror: stopped')
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ['add-account']:
        return add_account_main(argv[1:])
    return serve_main(argv)


if __name__ == '__main__':
    sys.exit(main())
