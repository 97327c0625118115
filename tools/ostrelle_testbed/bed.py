"""The end-to-end test bed: the real program against a loopback mirror.

A Bed is one scenario: a temporary directory with HOME, a bin directory of
fake host tools first on PATH, the fakes' state and logs, and a Mirror (the
account and resource servers on 127.0.0.1). Bed.spawn runs the test-bed build
of the program on a pseudo-terminal (or a pipe) and returns a Session to talk
to it; Bed.call runs one handler through the test driver. See
tests/e2e/README.md for how to write a scenario.
"""

import collections
import errno
import glob
import json
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import fcntl
import struct
import time
import hashlib
import unittest

from . import hosts, world
from .mirror import Mirror, demo_package, resource_path

# The source tree this package lies in (tools/ostrelle_testbed/).
SOURCE_DIR = os.environ.get('OSTRELLE_SOURCE_DIR', os.path.dirname(world.TOOLS_DIR))
TESTBED_HTTPS = os.environ.get('OSTRELLE_TESTBED_HTTPS', 'https://127.0.0.1:8443')
TESTBED_HTTP = os.environ.get('OSTRELLE_TESTBED_HTTP', 'http://127.0.0.1:8480')
SANITIZE = os.environ.get('OSTRELLE_SANITIZE', '0') == '1'
# Whether the program under test verifies certificates (the build's
# OSTRELLE_TLS_VERIFY, passed on by CTest).
TLS_VERIFY = os.environ.get('OSTRELLE_TLS_VERIFY', '1') == '1'
# Every scenario runs the flashing pauses of the test-bed build at this
# fraction of their length: each step and boot poll still happens, in the
# same order and with the same output, but the ten seconds between two boot
# polls take a fifth of a second. The demo keeps the real pauses.
PAUSE_SCALE = '0.02'

# Colour escapes as the program prints them.
RED = b'\x1b[31m'
GREEN = b'\x1b[32m'
YELLOW = b'\x1b[33m'
RESET = b'\x1b[0m'

CallResult = collections.namedtuple('CallResult', 'status output state')

# What a test file prints when none of its scenarios can run here; CTest
# reports such a file as skipped (SKIP_REGULAR_EXPRESSION), not as passed.
WHOLE_FILE_SKIPPED = 'ostrelle-e2e: every scenario of this file is skipped: '


def skip_file_unless(reason):
    """A class decorator for a test file none of whose scenarios can run on
    this machine: reason is None when they can, else the reason,
    which is printed with WHOLE_FILE_SKIPPED and given to unittest's skip."""
    if reason is None:
        return lambda cls: cls
    sys.stderr.write(WHOLE_FILE_SKIPPED + reason + '\n')
    return unittest.skip(reason)


def _find_binary(env_name, *candidates):
    value = os.environ.get(env_name)
    if value:
        return value
    build = os.environ.get('OSTRELLE_BUILD_DIR', os.path.join(SOURCE_DIR, 'build'))
    for rel in candidates:
        path = os.path.join(build, rel)
        if os.path.exists(path):
            return path
    return os.path.join(build, candidates[0])


def program_path():
    return _find_binary('OSTRELLE_BIN', 'ostrelle_testbed')


def driver_path():
    return _find_binary('OSTRELLE_CALL', 'tests/e2e/ostrelle_call')


def _as_bytes(text):
    return text.encode() if isinstance(text, str) else bytes(text)


class Session:
    """A running program: its output transcript and its standard input."""

    def __init__(self, proc, read_fd, write_fd, is_pty, name):
        self.proc = proc
        self._read_fd = read_fd
        self._write_fd = write_fd
        self._is_pty = is_pty
        self._name = name
        self._buf = bytearray()
        self._pos = 0
        self._eof = False
        self.status = None
        # The terminal's attributes just before the program started.
        self.start_attrs = None

    @property
    def output(self):
        """The whole transcript so far, as bytes."""
        return bytes(self._buf)

    @property
    def pid(self):
        return self.proc.pid

    def _pump(self, timeout):
        """Reads what is available within timeout seconds; False at end of output."""
        if self._eof:
            return False
        ready, _, _ = select.select([self._read_fd], [], [], max(0.0, timeout))
        if not ready:
            return True
        try:
            data = os.read(self._read_fd, 65536)
        except OSError as e:
            # A pseudo-terminal master reports EIO once every slave is closed.
            if e.errno != errno.EIO:
                raise
            data = b''
        if not data:
            self._eof = True
            return False
        self._buf += data
        return True

    def _fail(self, message):
        raise AssertionError('%s\n--- transcript of %s ---\n%s\n--- end of transcript ---'
                             % (message, self._name, self.output.decode('utf-8', 'replace')))

    def expect(self, text, timeout=20):
        """Waits until text appears after the current position; returns the output
        from there up to and including it, and moves the position past it."""
        want = _as_bytes(text)
        deadline = time.monotonic() + timeout
        while True:
            idx = self._buf.find(want, self._pos)
            if idx >= 0:
                end = idx + len(want)
                got = bytes(self._buf[self._pos:end])
                self._pos = end
                return got
            left = deadline - time.monotonic()
            if left <= 0:
                self._fail('timed out after %ss waiting for %r' % (timeout, want))
            if not self._pump(min(left, 0.5)) and self._buf.find(want, self._pos) < 0:
                self._fail('output ended while waiting for %r' % (want,))

    def rest(self):
        """The output after the current position (what expect has not consumed)."""
        return bytes(self._buf[self._pos:])

    def send(self, data):
        data = _as_bytes(data)
        while data:
            n = os.write(self._write_fd, data)
            data = data[n:]

    def sendline(self, text=''):
        self.send(_as_bytes(text) + b'\n')

    def eof(self):
        """End of input: VEOF on a terminal, closing the pipe otherwise."""
        if self._is_pty:
            veof = termios.tcgetattr(self._write_fd)[6][termios.VEOF]
            self.send(veof if isinstance(veof, bytes) else bytes([veof]))
        elif self._write_fd is not None:
            os.close(self._write_fd)
            self._write_fd = None

    def wait(self, timeout=30):
        """Waits for the program to end, reading its output; returns its exit status."""
        deadline = time.monotonic() + timeout
        while True:
            status = self.proc.poll()
            if status is not None:
                # Collect what is left; descendants may still hold the output open.
                drain = time.monotonic() + 2
                while self._pump(0.1) and time.monotonic() < drain:
                    pass
                self.status = status
                return status
            left = deadline - time.monotonic()
            if left <= 0:
                self.kill()
                self._fail('program did not end within %ss' % timeout)
            if not self._pump(min(left, 0.2)):
                try:
                    self.status = self.proc.wait(timeout=max(0.1, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    self.kill()
                    self._fail('program closed its output but did not end within %ss' % timeout)
                return self.status

    @property
    def program_pid(self):
        """The program's pid: under jobshell.py the job's, else the session's."""
        if not getattr(self, 'pidfile', None):
            return self.proc.pid
        deadline = time.monotonic() + 10
        while not os.path.exists(self.pidfile):
            if time.monotonic() > deadline:
                self._fail('the job never started')
            time.sleep(0.02)
        with open(self.pidfile) as f:
            return int(f.read())

    def terminal_attrs(self):
        """The terminal's attributes now (a pseudo-terminal session only)."""
        return termios.tcgetattr(self._read_fd)

    def kill(self):
        """Ends the program and everything it started (its own process group)."""
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass

    def close(self):
        self.kill()
        for fd in {self._read_fd, self._write_fd}:
            if fd is not None:
                try:
                    os.close(fd)
                except OSError:
                    pass
        self._read_fd = self._write_fd = None


def session_processes(sid):
    """Process ids of the processes still in session sid (the program runs in
    a session of its own, and so does everything it starts)."""
    found = []
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % entry) as f:
                stat = f.read()
        except OSError:
            continue
        # The fields after the command name (which may hold blanks) in
        # parentheses: state, ppid, pgrp, session, ...
        fields = stat[stat.rindex(')') + 2:].split()
        if fields[0] != 'Z' and int(fields[3]) == sid:
            found.append(int(entry))
    return found


class Bed:
    """One scenario's world. Use as a context manager."""

    def __init__(self, name='scenario'):
        self.name = name
        self.tmp = tempfile.mkdtemp(prefix='ostrelle-e2e-')
        self.home = os.path.join(self.tmp, 'home')
        self.target = os.path.join(self.tmp, 'target')
        self.bin = os.path.join(self.tmp, 'bin')
        self.state = os.path.join(self.tmp, 'state')
        self.logs = os.path.join(self.tmp, 'logs')
        self.sanitizer_dir = os.path.join(self.tmp, 'sanitizer')
        # The simulated host's /, as the test-bed build reads it (hosts.py).
        self.root = world.root_dir(self.state)
        for d in (self.home, self.bin, self.state, self.logs, self.sanitizer_dir):
            os.makedirs(d)
        world.install(self.bin, self.state, os.path.join(self.tmp, 'wgetrc'))
        self.mirror = Mirror(root=os.path.join(self.tmp, 'mirror'), workdir=self.tmp)
        self._sessions = []
        self._calls = 0
        try:
            self.mirror.start()
        except BaseException:
            shutil.rmtree(self.tmp, ignore_errors=True)
            raise

    # -- lifecycle --------------------------------------------------------
    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        try:
            for session in self._sessions:
                session.close()
            self.mirror.stop()
            reports = self.sanitizer_reports()
            if reports and exc_type is None:
                raise AssertionError('sanitizer reports:\n' + '\n'.join(reports))
        finally:
            shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def sanitizer_reports(self):
        out = []
        for path in sorted(glob.glob(os.path.join(self.sanitizer_dir, '*'))):
            with open(path, errors='replace') as f:
                out.append('== %s\n%s' % (os.path.basename(path), f.read()))
        return out

    # -- environment ------------------------------------------------------
    @property
    def adb_port(self):
        """The port the program looks at for a running adb server: nothing
        listens there unless the scenario does."""
        if getattr(self, '_adb_port', None) is None:
            self._adb_port = world.free_port()
        return self._adb_port

    def env(self):
        """The environment of every child of this scenario."""
        env = world.environment(os.environ, self.home, self.bin, self.state, self.logs,
                                os.path.join(self.tmp, 'wgetrc'),
                                (TESTBED_HTTPS, TESTBED_HTTP),
                                (self.mirror.https_url, self.mirror.http_url),
                                pause_scale=PAUSE_SCALE)
        # The program verifies the mirror's certificate against the
        # mirror's own authority, as a lab build trusts its mirror.
        env.update({'TERM': 'xterm', 'LC_ALL': 'C', 'OSTRELLE_CA_FILE': self.mirror.ca_file})
        # One adb server port for the whole scenario (adb_port).
        env['ANDROID_ADB_SERVER_PORT'] = str(self.adb_port)
        env['ASAN_OPTIONS'] = 'log_path=%s:detect_leaks=1:abort_on_error=0' % os.path.join(
            self.sanitizer_dir, 'asan')
        env['UBSAN_OPTIONS'] = 'log_path=%s:print_stacktrace=1:halt_on_error=1' % os.path.join(
            self.sanitizer_dir, 'ubsan')
        return env

    def tls_args(self):
        """The certificate options of every wget line of the program under
        test: it trusts the mirror's authority through OSTRELLE_CA_FILE."""
        if not TLS_VERIFY:
            return ['--no-check-certificate']
        return ['--ca-certificate=' + self.mirror.ca_file]

    def install_fake(self, name, text):
        """Adds or replaces the fake tool `name` of this scenario."""
        path = os.path.join(self.bin, name)
        with open(path, 'w') as f:
            f.write(text)
        os.chmod(path, 0o755)
        return path

    def tool_log(self, name):
        """The argument lists logged by fake tool `name`, in order."""
        path = os.path.join(self.logs, name + '.log')
        try:
            with open(path) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def set_installed(self, packages):
        """The installed set of the fake dpkg."""
        with open(os.path.join(self.state, 'dpkg_installed'), 'w') as f:
            f.write(''.join(p + '\n' for p in packages))

    def set_unavailable(self, packages):
        """Packages the fake apt-get cannot install (apt-cache shows no candidate)."""
        with open(os.path.join(self.state, 'apt_unavailable'), 'w') as f:
            f.write(''.join(p + '\n' for p in packages))

    def set_host(self, kind, installed=None, cross=True, link=True):
        """Makes the simulated host one of hosts.HOSTS: its package database
        for apt-cache and apt-get, the installed set (by default every
        package a ready host of that kind has), its cross loader (cross) and
        the loader link to it (link)."""
        with open(os.path.join(self.state, 'apt_host'), 'w') as f:
            f.write(kind + '\n')
        self.set_installed(hosts.HOSTS[kind].ready if installed is None else installed)
        shutil.rmtree(self.root)
        hosts.make_root(self.root, kind, cross=cross, link=link)

    # -- mirror content ---------------------------------------------------
    def put(self, product, name, data):
        """Puts a file in a product's sdk folder on the mirror."""
        self.mirror.put(product, name, data)

    def put_list(self, product, tag, lines):
        """Puts the release list <product><tag>release_ver.txt on the mirror.
        lines: a list of lines (str or bytes, each gets a line feed), or raw
        bytes used as the whole file."""
        if isinstance(lines, (bytes, bytearray)):
            data = bytes(lines)
        else:
            data = b''.join(_as_bytes(line) + b'\n' for line in lines)
        self.mirror.put(product, product + tag + 'release_ver.txt', data)
        return data

    def list_url_path(self, product, tag):
        return resource_path(product, product + tag + 'release_ver.txt')

    # -- running the program ---------------------------------------------
    def spawn(self, args=(), stdin='pty', program=None, env=None, ctty=True, job_control=False):
        """Runs the program; stdin='pty' (a pseudo-terminal with output
        post-processing off) or 'pipe' (standard input from a pipe, standard
        output and error to another). env: changes to env(), a value of None
        removing the variable. The program runs in a session of its own; with
        ctty the pseudo-terminal is that session's controlling terminal, as a
        terminal is for a program started from a shell (job control, keys
        that raise signals, tools handed the terminal). With job_control the
        program runs under jobshell.py as a job of an interactive shell, so
        that stop signals stop it; Session.program_pid is then its pid."""
        argv = [program or program_path()] + list(args)
        pidfile = None
        if job_control:
            pidfile = os.path.join(self.tmp, 'job-%d.pid' % len(self._sessions))
            argv = [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                 'jobshell.py'), pidfile] + argv
        child_env = self.env()
        for key, value in (env or {}).items():
            if value is None:
                child_env.pop(key, None)
            else:
                child_env[key] = value
        if stdin == 'pty':
            master, slave = pty.openpty()
            attrs = termios.tcgetattr(slave)
            attrs[1] &= ~termios.OPOST
            termios.tcsetattr(slave, termios.TCSANOW, attrs)
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack('HHHH', 24, 80, 0, 0))
            start_attrs = termios.tcgetattr(slave)
            def take_terminal():
                fcntl.ioctl(0, termios.TIOCSCTTY, 0)

            try:
                proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave,
                                        env=child_env, cwd=self.tmp, start_new_session=True,
                                        close_fds=True,
                                        preexec_fn=take_terminal if ctty else None)
            finally:
                os.close(slave)
            session = Session(proc, master, master, True, os.path.basename(argv[0]))
            session.start_attrs = start_attrs
        elif stdin == 'pipe':
            proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, env=child_env, cwd=self.tmp,
                                    start_new_session=True, close_fds=True)
            in_fd = os.dup(proc.stdin.fileno())
            out_fd = os.dup(proc.stdout.fileno())
            proc.stdin.close()
            proc.stdout.close()
            session = Session(proc, out_fd, in_fd, False, os.path.basename(argv[0]))
        else:
            raise ValueError('stdin must be "pty" or "pipe"')
        session.pidfile = pidfile
        self._sessions.append(session)
        return session

    def call(self, name, *args, input=b'', target=None, product=None, platform=None,
             release=None, checksum=None, dev=None, timeout=120, env=None):
        """Runs one handler through the test driver, with the globals given.
        A target without a trailing "/" gets one. env: changes to env(), as
        for spawn. Returns CallResult(status, output, state) where state
        holds the globals afterwards."""
        self._calls += 1
        state_file = os.path.join(self.tmp, 'call-state-%d.txt' % self._calls)
        argv = [driver_path()]
        if target is not None:
            argv += ['--target', target if target.endswith('/') else target + '/']
        for opt, value in (('--product', product), ('--platform', platform),
                           ('--release', release), ('--checksum', checksum), ('--dev', dev)):
            if value is not None:
                argv += [opt, str(value)]
        argv += ['--state-out', state_file, name] + [str(a) for a in args]
        child_env = self.env()
        for key, value in (env or {}).items():
            if value is None:
                child_env.pop(key, None)
            else:
                child_env[key] = value
        proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, env=child_env, cwd=self.tmp,
                                start_new_session=True)
        try:
            output, _ = proc.communicate(_as_bytes(input), timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            output, _ = proc.communicate()
            raise AssertionError('%s did not end within %ss; output:\n%s'
                                 % (name, timeout, output.decode('utf-8', 'replace')))
        state = {}
        try:
            with open(state_file) as f:
                for line in f:
                    key, _, value = line.rstrip('\n').partition('=')
                    state[key] = value
        except FileNotFoundError:
            pass
        return CallResult(proc.returncode, output, state)


# -- the set-up dialogue ------------------------------------------------------
# Platform tag of the release list by product (kt5 depends on the answers).
PRODUCT_NUMBERS = {'1': 'kt1', '2': 'kt2', '3': 'kt3gen2', '4': 'kt5', '5': 'kt5n',
                   '6': 'kt6', '7': 'mx7200'}
FIXED_TAGS = {'kt1': '_le_', 'kt2': '_le_', 'kt3gen2': '_lu_', 'kt6': '_lu_',
              'mx7200': '_lu_', 'kt5n': '_lu2.0_'}


def platform_tag(product, platform=()):
    """The release-list tag the program will use for a product code and the
    answers given to the kt5 platform questions (answers other than 1 and 2
    are asked again, so they choose nothing)."""
    if product != 'kt5':
        return FIXED_TAGS[product]
    picks = [a for a in platform if a in ('1', '2')]
    if len(picks) < 2:
        raise ValueError('kt5 needs a platform and a generation answer: %r' % (platform,))
    return '_%s%s.0_' % ('lu' if picks[0] == '1' else 'le', picks[1])


def default_release(product, tag):
    """A release name and package for scenarios that do not bring their own."""
    name = '%s%s1.0' % (product, tag.strip('_'))
    package = demo_package(name)
    return name, package, hashlib.sha256(package).hexdigest()


def sign_in(session, email='user@example.com', password='secret'):
    session.expect('Enter your Velmora user email: ')
    session.sendline(email)
    session.expect('Enter your Velmora password: ')
    session.sendline(password)


def set_target(session, path, confirm='y'):
    """Answers the path prompt with path and the confirmation with confirm."""
    session.expect('Enter absolute target directory for Image resources')
    session.expect(': \n')
    session.sendline(path)
    session.expect('Proceed [Y/n]? ')
    session.sendline(confirm)


def setup_to_shell(bed, session, product='1', platform=(), release='1',
                   email='user@example.com', password='secret'):
    """Drives a spawned program through the set-up dialogue to the shell
    prompt: signs in, sets the target directory bed.target, answers the
    product, the platform questions (kt5 only) and the release number.
    Without a release list on the mirror for that product and platform, one
    with a single demo release is put there first. Returns the output read."""
    code = PRODUCT_NUMBERS.get(product)
    if code is not None:
        tag = platform_tag(code, platform)
        url = bed.list_url_path(code, tag)
        if not os.path.exists(os.path.join(bed.mirror.root, url.lstrip('/'))):
            name, package, digest = default_release(code, tag)
            bed.put(code, name + '.zip', package)
            bed.put_list(code, tag, ['%s %s' % (name, digest)])
    out = bytearray()
    sign_in(session, email, password)
    out += session.expect('Successful authentication.')
    stored = os.path.exists(os.path.join(bed.home, 'ostrelle_dir.txt'))
    if stored:
        out += session.expect('Continue with this path(overwrites existing files) [Y/n]? ')
        session.sendline('n')
    out += session.expect('Enter absolute target directory for Image resources')
    out += session.expect(': \n')
    session.sendline(bed.target)
    out += session.expect('Proceed [Y/n]? ')
    session.sendline('y')
    out += session.expect('Select one number of product( 1 | 2 | 3 ...) to continue with: ')
    session.sendline(product)
    if code is not None:
        for answer in platform:
            out += session.expect(' platform: ')
            session.sendline(answer)
        out += session.expect(') to continue with: ')
        session.sendline(release)
        out += session.expect("Type 'help' for commands")
    out += session.expect('> ')
    return bytes(out)
