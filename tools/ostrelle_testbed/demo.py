"""Runs Ostrelle on this terminal against a local mirror and two simulated boards.

`make demo` builds the program and runs this. It makes sure the sample
catalogue is built (catalogue.py), starts the mirror on the ports the demo
build talks to (mirror.py) with a demo account, prepares a
sandbox (HOME, the simulated host tools first on PATH, two boards waiting in
download mode), runs build/ostrelle_testbed in the foreground and stops the
mirror when the program ends, also on Ctrl-C. Nothing outside the build
directory is written: the fake sudo runs nothing as root, apt-get and dpkg
are simulated, and the user's own ~/ostrelle_dir.txt is not touched.

    python3 tools/demo/demo.py [--build-dir build]

With arguments after "--" (make demo ARGS='...') it runs the program with
them instead of the dialogue: the demo account is given with --email and a
password file it writes with mode 0600, the target directory (unless the
arguments name one) is images/ in the demo's HOME, and the sandbox is kept
from one such run to the next, so a download, a flash and the run logs
build on each other; the boards are put back into download mode first.
For tests: --demo-dir puts everything elsewhere, --any-ports lets the
mirror pick free ports (the demo build's fake wget is pointed at them) and
--quick shortens the flashing pauses and the boards' boot.
"""

import argparse
import errno
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import termios
import urllib.parse

from . import board, catalogue, world
from .mirror import Accounts, Mirror

SOURCE_DIR = os.path.dirname(world.TOOLS_DIR)

DEMO_MAIL = 'demo@ostrelle.example'
DEMO_PASSWORD = 'demo1234'
DEFAULT_URLS = ('https://127.0.0.1:8443', 'http://127.0.0.1:8480')

BOLD = '\033[1m'
RESET = '\033[0m'


def configure_board(state_dir, progress_seconds=1.0, boot_after_seconds=3,
                    download_after_seen_seconds=1):
    """The demo's two boards (on /dev/ttyUSB1 and /dev/ttyUSB2, USB paths 1-3
    and 1-4): waiting in download mode behind an unrelated USB-serial
    adapter; fh_loader shows its progress and checks that every file it is
    sent exists; after --reset a board boots within boot_after_seconds (the
    second one a second later), and once adb has listed it, it drops back
    into download mode after download_after_seen_seconds, ready for the next
    flash."""
    board.configure(state_dir,
                    ports=[board.other_port(0), board.download_port(1),
                           board.download_port(2, boot_after_seconds=boot_after_seconds + 1)],
                    boot_after_polls=None, progress_seconds=progress_seconds,
                    strict_files=True, boot_after_seconds=boot_after_seconds,
                    download_after_seen_seconds=download_after_seen_seconds)


def ensure_account(accounts_path):
    accounts = Accounts(accounts_path)
    if accounts.status(DEMO_MAIL, DEMO_PASSWORD) != 1:
        accounts.add(DEMO_MAIL, DEMO_PASSWORD)
    return accounts


def compiled_urls(build_dir):
    """The mirror URLs built into the demo build, from its CMake cache."""
    urls = list(DEFAULT_URLS)
    try:
        with open(os.path.join(build_dir, 'CMakeCache.txt')) as f:
            cache = f.read()
    except FileNotFoundError:
        return tuple(urls)
    for i, name in enumerate(('OSTRELLE_TESTBED_HTTPS', 'OSTRELLE_TESTBED_HTTP')):
        m = re.search(r'^%s:[A-Z]+=(.*)$' % name, cache, re.M)
        if m:
            urls[i] = m.group(1).strip()
    return tuple(urls)


def port_taken(host, port):
    """True when something already listens on host:port."""
    family = socket.AF_INET6 if ':' in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((host, port))
        except OSError as e:
            return e.errno == errno.EADDRINUSE
    return False


def prepare_sandbox(sandbox, keep=False):
    """A sandbox: home, the fake tools, their state and logs; fresh unless
    keep, which keeps what earlier runs left (HOME, the fakes' logs)."""
    if not keep:
        shutil.rmtree(sandbox, ignore_errors=True)
    dirs = {name: os.path.join(sandbox, name) for name in ('home', 'bin', 'state', 'logs')}
    for d in dirs.values():
        os.makedirs(d, exist_ok=True)
    dirs['wgetrc'] = os.path.join(sandbox, 'wgetrc')
    world.install(dirs['bin'], dirs['state'], dirs['wgetrc'])
    return dirs


def write_password_file(path):
    """The demo password as a password file only its owner may read."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, 'w') as f:
        os.fchmod(f.fileno(), 0o600)
        f.write(DEMO_PASSWORD + '\n')


def names_target(args):
    return any(a in ('-t', '--target') or a.startswith('--target=') or
               (a.startswith('-t') and not a.startswith('--')) for a in args)


def unattended_argv(program, args, sandbox, home):
    """The program's command line for a run with args: the demo account,
    and the demo's target directory unless args give one."""
    password = os.path.join(sandbox, 'demo-password')
    write_password_file(password)
    argv = [program, '--email', DEMO_MAIL, '--password-file', password]
    if not names_target(args):
        argv += ['--target', os.path.join(home, 'images')]
    return argv + list(args)


def run_logs(home):
    """The run logs in the demo's HOME (the program's default place)."""
    logs = os.path.join(home, '.local', 'state', 'ostrelle', 'logs')
    try:
        return {os.path.join(logs, n) for n in os.listdir(logs) if n.endswith('.log')}
    except FileNotFoundError:
        return set()


def run_program(argv, env, cwd):
    """Runs the program in the foreground on this terminal; returns its exit
    status. Ctrl-C reaches the program (which ends by default) while this
    process waits, so the mirror is still stopped afterwards; a hang-up or
    termination is passed on to the program with the same effect; the terminal
    settings are put back in case the program was stopped in its line
    editor's mode."""
    saved = None
    if os.isatty(0):
        try:
            saved = termios.tcgetattr(0)
        except termios.error:
            saved = None
    proc = None

    def forward(signum, frame):
        if proc is not None and proc.poll() is None:
            proc.send_signal(signum)

    # Handlers, not SIG_IGN: the program gets the default actions back.
    previous = {signal.SIGINT: signal.signal(signal.SIGINT, lambda signum, frame: None)}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        previous[signum] = signal.signal(signum, forward)
    try:
        proc = subprocess.Popen(argv, env=env, cwd=cwd)
        return proc.wait()
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        if saved is not None:
            try:
                termios.tcsetattr(0, termios.TCSANOW, saved)
            except termios.error:
                pass


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--build-dir', default=os.path.join(SOURCE_DIR, 'build'))
    parser.add_argument('--demo-dir', help='where the demo keeps everything (default: '
                        'BUILD_DIR/demo)')
    parser.add_argument('--any-ports', action='store_true',
                        help='the mirror listens on free ports instead of the compiled ones')
    parser.add_argument('--quick', action='store_true',
                        help='flashing pauses at a fiftieth, boards that boot at once (tests)')
    parser.add_argument('program_args', nargs=argparse.REMAINDER,
                        help='-- and the arguments of a run with commands')
    args = parser.parse_args(argv)
    program_args = args.program_args
    if program_args and program_args[0] == '--':
        program_args = program_args[1:]
    build_dir = os.path.abspath(args.build_dir)
    program = os.path.join(build_dir, 'ostrelle_testbed')
    if not os.access(program, os.X_OK):
        sys.stderr.write('demo: %s is missing; build it first (make)\n' % program)
        return 1

    https_url, http_url = compiled_urls(build_dir)
    https = urllib.parse.urlsplit(https_url)
    http = urllib.parse.urlsplit(http_url)
    host = https.hostname or '127.0.0.1'
    ports = (0, 0) if args.any_ports else (https.port or 443, http.port or 80)
    taken = [str(p) for p in ports if p and port_taken(host, p)]
    if taken:
        sys.stderr.write(
            'demo: %s on %s already in use.\n'
            'The demo build talks to its mirror at %s and %s, so the mirror must listen\n'
            'there. Stop whatever holds it (another demo or mirror.py? "ss -ltnp"\n'
            'shows the owner) and run make demo again.\n'
            % ('port %s is' % taken[0] if len(taken) == 1 else
               'ports %s are' % ' and '.join(taken), host, https_url, http_url))
        return 1

    demo_dir = os.path.abspath(args.demo_dir or os.path.join(build_dir, 'demo'))
    # With arguments, standard output is the program's alone (a --json
    # document stays one document); the demo's own lines go to standard error.
    say = sys.stderr if program_args else sys.stdout
    root, built = catalogue.ensure(os.path.join(demo_dir, 'catalogue'))
    print('demo: sample catalogue %s (%s)' % ('built' if built else 'up to date', root), file=say)
    accounts_path = os.path.join(demo_dir, 'accounts')
    ensure_account(accounts_path)
    sandbox = os.path.join(demo_dir, 'sandbox')
    dirs = prepare_sandbox(sandbox, keep=bool(program_args))
    if args.quick:
        configure_board(dirs['state'], progress_seconds=0.05, boot_after_seconds=0.5)
    else:
        configure_board(dirs['state'])

    log_path = os.path.join(demo_dir, 'mirror.log')
    with open(log_path, 'a', buffering=1) as log:
        mirror = Mirror(root=root, https_port=ports[0], http_port=ports[1],
                        host=host, workdir=demo_dir, accounts=accounts_path, log=log)
        try:
            mirror.start()
        except OSError as e:
            sys.stderr.write('demo: the mirror cannot listen on %s: %s\n'
                             % (host, e.strerror or e))
            mirror.stop()
            return 1
        try:
            env = world.environment(os.environ, dirs['home'], dirs['bin'], dirs['state'],
                                    dirs['logs'], dirs['wgetrc'], (https_url, http_url),
                                    (mirror.https_url, mirror.http_url),
                                    pause_scale='0.02' if args.quick else None)
            # The demo build verifies the mirror's certificate like any build.
            env['OSTRELLE_CA_FILE'] = mirror.ca_file
            if program_args:
                argv = unattended_argv(program, program_args, sandbox, dirs['home'])
                print('demo: %s' % ' '.join(shlex.quote(a) for a in ['ostrelle'] + argv[1:]),
                      file=say)
                say.flush()
                before = run_logs(dirs['home'])
                status = run_program(argv, env, sandbox)
                new_logs = sorted(run_logs(dirs['home']) - before)
            else:
                print_intro(mirror, log_path, dirs)
                status = run_program([program], env, sandbox)
        finally:
            mirror.stop()
    if program_args:
        print('demo: ostrelle ended with exit status %d; the mirror is stopped.' % status,
              file=say)
        for log in new_logs:
            print('demo: the run log: %s' % os.path.relpath(log), file=say)
        print('demo: HOME %s is kept for the next make demo ARGS=...; make demo alone '
              'starts afresh.' % os.path.relpath(dirs['home']), file=say)
        # As a shell reports a child ended by a signal.
        return status if status >= 0 else 128 - status
    print('\ndemo: ostrelle ended with exit status %d; the mirror is stopped.' % status)
    print('demo: what it made is in %s (fake tool calls: %s);' % (dirs['home'], dirs['logs']))
    print('demo: the next make demo starts again from an empty sandbox.')
    return 0


def print_intro(mirror, log_path, dirs):
    board_cmd = 'python3 %s %s download' % (os.path.relpath(board.__file__),
                                            os.path.relpath(dirs['state']))
    print('''
demo: mirror at %s and %s (requests logged in %s)
demo: simulated host tools first on PATH (%s); nothing is installed, nothing runs as root
demo: HOME is %s, so your own ~/ostrelle_dir.txt stays as it is

    Sign in with   e-mail: %s%s%s   password: %s%s%s

  Target directory: Enter takes the default shown, then y.
  Any product works: command 1 downloads the release (on LU it also rebuilds
  the system image), 2 flashes one of the two simulated boards (it asks
  which), 3 (LE) fetches the SDK toolchain, q leaves. The boards wait in
  download mode; after a flash a board boots, and a few seconds after it has
  been seen it is back in download mode for the next flash (or put them there
  with: %s).
''' % (mirror.https_url, mirror.http_url, os.path.relpath(log_path), os.path.relpath(dirs['bin']),
       dirs['home'], BOLD, DEMO_MAIL, RESET, BOLD, DEMO_PASSWORD, RESET, board_cmd))
    sys.stdout.flush()


if __name__ == '__main__':
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.stderr.write('\ndemo: interrupted\n')
        sys.exit(130)
