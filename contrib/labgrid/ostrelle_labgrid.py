"""labgrid support for boards that Ostrelle flashes in emergency download mode.

Load it from an environment file:

    imports:
      - /usr/share/ostrelle/labgrid/ostrelle_labgrid.py

It registers with labgrid:

- OstrelleBoard (resource): a board as Ostrelle knows it: its USB serial
  and/or USB path, product, platform and target directory.
- OstrelleFlashDriver (driver, BootstrapProtocol): flashes the board with
  the `ostrelle` command line (`download flash`), reads what it reports and
  raises OstrelleFlashError (an ExecutionError) with Ostrelle's reason and
  exit status when the flash fails.
- OstrelleStrategy (strategy): takes the board from "off" through "flashed"
  (powered, flashed in download mode) to "shell" (logged in on its serial
  console).

The reader of Ostrelle's reports (FlashReport) takes both the JSON lines of
`--json` and the `ostrelle-result:` line that ends every run with commands.
"""

import enum
import json
import logging
import os
import re
import selectors
import shlex
import signal
import subprocess
import time
from collections import deque

import attr

from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.factory import target_factory
from labgrid.protocol import BootstrapProtocol
from labgrid.resource.common import Resource
from labgrid.step import step
from labgrid.strategy.common import Strategy, StrategyError
from labgrid.util.ssh import sshmanager

RESULT_PREFIX = 'ostrelle-result: '

# What Ostrelle's exit statuses mean, for the messages of the exceptions.
STATUS_MEANINGS = {
    1: 'a command failed',
    2: 'usage error or a question no option answers',
    3: 'sign-in refused',
    4: 'host not ready',
    5: 'server unusable',
    6: 'no board in download mode, or the board was lost',
    7: 'flashed but never booted',
    8: 'board busy: another run holds it',
}

# Board results of a flash that went well: "booted" after the wait under
# adb, "flashed" without it (--no-boot-wait).
GOOD_BOARD_RESULTS = ('booted', 'flashed')

# How many lines of Ostrelle's own messages are kept for an exception.
KEPT_LINES = 200

# How long the output is still read after Ostrelle has ended.
OUTPUT_GRACE_SECONDS = 5.0

# Ostrelle prints its failures in red (with --color=always also into a
# pipe); the first line of the last red message is its reason when the
# result line carries none.
RED = '\x1b[31m'
ESCAPES = re.compile(r'\x1b\[[0-9;]*[A-Za-z]')


def status_meaning(status):
    if status is None:
        return 'no status'
    if status > 128:
        try:
            return 'ended by ' + signal.Signals(status - 128).name
        except ValueError:
            return 'ended by signal %d' % (status - 128)
    return STATUS_MEANINGS.get(status, 'unknown status')


def parse_line(line):
    """The report object a line of Ostrelle's standard output carries, or
    None for a message meant for people. An `ostrelle-result:` line becomes
    the same object as the JSON result event."""
    line = line.rstrip('\r\n')
    if line.startswith(RESULT_PREFIX):
        try:
            obj = json.loads(line[len(RESULT_PREFIX):])
        except ValueError:
            return None
        if not isinstance(obj, dict):
            return None
        obj = dict(obj)
        obj.setdefault('event', 'result')
        return obj if obj['event'] == 'result' else None
    if not line.startswith('{'):
        return None
    try:
        obj = json.loads(line)
    except ValueError:
        return None
    if not isinstance(obj, dict) or not isinstance(obj.get('event'), str):
        return None
    return obj


class FlashReport:
    """Everything one Ostrelle run reported: its events, its messages and
    its result; judges the run once it has ended."""

    def __init__(self, board_id=None):
        self.board_id = board_id
        self.events = []
        self.boards = []
        self.result = None
        self.messages = deque(maxlen=KEPT_LINES)
        self.last_failure = None
        self._failure_starts = False

    def feed(self, line):
        """Takes one line of standard output; returns its event or None."""
        event = parse_line(line)
        if event is None:
            self.message(line)
            return None
        self.events.append(event)
        if event['event'] == 'board':
            self.boards.append(event)
        elif event['event'] == 'result':
            self.result = event
        return event

    def message(self, line):
        """Takes one line meant for people (standard error, or standard
        output without --json)."""
        line = line.rstrip('\r\n')
        if RED in line:
            self._failure_starts = True
            line = line[line.rindex(RED):]
        text = ESCAPES.sub('', line).strip()
        if not text:
            return
        self.messages.append(text)
        if self._failure_starts:
            self.last_failure = text
            self._failure_starts = False

    def board(self):
        """The last board event of the board this run flashed: the one named
        by board_id when there is one, else the only one."""
        mine = [b for b in self.boards
                if self.board_id is None or self.board_id in (b.get('board'), b.get('usb_path'))]
        if mine:
            return mine[-1]
        return self.boards[-1] if len(self.boards) == 1 else None

    def reason(self):
        """Why the run failed, in Ostrelle's words: the result's reason, else
        its last failure message, else the last message it printed."""
        if self.result and isinstance(self.result.get('reason'), str) and self.result['reason']:
            return self.result['reason']
        board = self.board()
        if board and board.get('result') not in GOOD_BOARD_RESULTS + (None,):
            return 'board %s: %s' % (board.get('board'), board.get('result'))
        if self.last_failure:
            return self.last_failure
        if self.messages:
            return self.messages[-1]
        return 'no message'

    def failure(self, status):
        """None when the run flashed the board (exit status `status`), else
        the sentence that says why not."""
        if status != 0:
            return 'ostrelle failed with status %s (%s): %s' % (status, status_meaning(status),
                                                               self.reason())
        if self.result is None:
            return 'ostrelle ended with status 0 but without its result line'
        if self.result.get('status', 0) != 0:
            return 'ostrelle ended with status 0 but reported status %s: %s' % (
                self.result.get('status'), self.reason())
        commands = self.result.get('commands')
        verdicts = {c.get('command'): c.get('result') for c in commands or []
                    if isinstance(c, dict)}
        if verdicts.get('flash') != 'pass':
            return 'ostrelle ended with status 0 but its flash result is %s' % (
                verdicts.get('flash', 'missing'))
        board = self.board()
        if board is not None and board.get('result') not in GOOD_BOARD_RESULTS:
            return 'ostrelle ended with status 0 but board %s is %s' % (
                board.get('board'), board.get('result'))
        return None


@attr.s(eq=False)
class OstrelleFlashError(ExecutionError):
    """A flash with Ostrelle that failed: `status` is Ostrelle's exit status
    (None when it did not end in time), `reason` its own words, `report`
    the whole FlashReport."""
    status = attr.ib(default=None)
    reason = attr.ib(default=None)
    report = attr.ib(default=None)

    def __str__(self):
        return self.msg


def _optional_str():
    return attr.ib(default=None,
                   validator=attr.validators.optional(attr.validators.instance_of(str)))


@target_factory.reg_resource
@attr.s(eq=False)
class OstrelleBoard(Resource):
    """A board as Ostrelle knows it. `serial` is its USB serial (it follows
    the board to any port), `usb_path` the port of the USB tree it is
    plugged into (1-2.3); at least one of them. `product`, `platform` and
    `directory` are Ostrelle's --product, --platform and --target; the
    directory is on the host that runs Ostrelle."""
    product = attr.ib(validator=attr.validators.instance_of(str))
    platform = attr.ib(validator=attr.validators.instance_of(str))
    directory = attr.ib(validator=attr.validators.instance_of(str))
    serial = _optional_str()
    usb_path = _optional_str()

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        if not self.serial and not self.usb_path:
            raise ValueError('OstrelleBoard needs a serial or a usb_path')

    @property
    def board_id(self):
        """What --board names: the serial when known, else the USB path."""
        return self.serial or self.usb_path

    @property
    def command_prefix(self):
        """Through a place of the coordinator the board hangs on the
        exporter's host: Ostrelle runs there, over labgrid's ssh
        connection."""
        extra = getattr(self, 'extra', None) or {}
        host = extra.get('proxy')
        if not host:
            return []
        return sshmanager.get(host).get_prefix() + ['--']


@target_factory.reg_driver
@attr.s(eq=False)
class OstrelleFlashDriver(Driver, BootstrapProtocol):
    """Flashes an OstrelleBoard with `ostrelle ... download flash`.

    release        the release to flash (a name from the release list, or
                   latest)
    email, password_file
                   the account (files on the host that runs Ostrelle);
                   unset: OSTRELLE_EMAIL / OSTRELLE_PASSWORD_FILE there
    changed_only, retries, json
                   --changed-only, --retries N, --json (given only when set)
    wait_for_boot  let Ostrelle wait for the board under adb; by default the
                   flash ends once the board restarted (--no-boot-wait) and
                   its serial console tells the rest
    download       run `download` before `flash` (default); off: flash what
                   the target directory holds
    timeout        seconds before the run is ended as hung
    """
    bindings = {'board': 'OstrelleBoard'}

    command = attr.ib(default='ostrelle', validator=attr.validators.instance_of(str))
    release = attr.ib(default='latest', validator=attr.validators.instance_of(str))
    email = _optional_str()
    password_file = _optional_str()
    changed_only = attr.ib(default=False, validator=attr.validators.instance_of(bool))
    retries = attr.ib(default=None,
                      validator=attr.validators.optional(attr.validators.instance_of(int)))
    json = attr.ib(default=False, validator=attr.validators.instance_of(bool))
    wait_for_boot = attr.ib(default=False, validator=attr.validators.instance_of(bool))
    download = attr.ib(default=True, validator=attr.validators.instance_of(bool))
    timeout = attr.ib(default=3600.0, converter=float)

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.logger = logging.getLogger('OstrelleFlashDriver(%s)' % self.target.name)
        if self.retries is not None and self.retries < 0:
            raise ValueError('retries must not be negative')
        self.last_report = None

    def on_activate(self):
        pass

    def on_deactivate(self):
        pass

    def arguments(self, release=None, package=None):
        """Ostrelle's argument list for one flash. Every value is joined to
        its option by "=", so a value starting with "-" stays a value."""
        board = self.board
        args = [self.command, '--no-input', '--yes', '--color=always']
        if not self.wait_for_boot:
            args.append('--no-boot-wait')
        if self.json:
            args.append('--json')
        if self.changed_only:
            args.append('--changed-only')
        if self.retries is not None:
            args.append('--retries=%d' % self.retries)
        args += ['--board=' + board.board_id, '--target=' + board.directory,
                 '--product=' + board.product, '--platform=' + board.platform]
        if self.email:
            args.append('--email=' + self.email)
        if self.password_file:
            args.append('--password-file=' + self.password_file)
        if package:
            args.append('--package=' + package)
        release = release if release is not None else self.release
        if release and not (package and release == 'latest'):
            args.append('--release=' + release)
        args += ['download', 'flash'] if self.download else ['flash']
        return args

    def command_line(self, release=None, package=None):
        """What runs: the argument list, or through the exporter's ssh
        connection one quoted shell line for its remote shell."""
        args = self.arguments(release, package)
        prefix = self.board.command_prefix
        if not prefix:
            return args
        return prefix + [' '.join(shlex.quote(a) for a in args)]

    @Driver.check_active
    def load(self, filename=None):
        """BootstrapProtocol: flashes the configured release, or with
        `filename` a release package: an http(s) URL, a name from the
        environment's images, or a file (on the host that runs Ostrelle)."""
        if filename is None:
            return self.flash()
        if not re.match(r'^https?://', filename):
            images = self.target.env.config.get_images() if self.target.env else {}
            filename = images.get(filename, filename)
            if not self.board.command_prefix:
                filename = os.path.abspath(filename)
        return self.flash(package=filename)

    @Driver.check_active
    @step(args=['release', 'package'], result=True)
    def flash(self, release=None, package=None):
        """Runs Ostrelle; returns its FlashReport when the board was
        flashed, raises OstrelleFlashError otherwise."""
        report = FlashReport(self.board.board_id)
        self.last_report = report
        cmd = self.command_line(release, package)
        self.logger.info('Running %s', ' '.join(shlex.quote(a) for a in cmd))
        status = self._run(cmd, report)
        if status is None:
            raise OstrelleFlashError(
                'ostrelle did not end within %g s and was stopped: %s' % (self.timeout,
                                                                          report.reason()),
                stdout=list(report.messages), reason=report.reason(), report=report)
        failure = report.failure(status)
        if failure is not None:
            raise OstrelleFlashError(failure, stdout=list(report.messages), status=status,
                                     reason=report.reason(), report=report)
        board = report.board()
        if board is not None and self.board.serial and self.board.usb_path \
                and board.get('usb_path') not in (None, self.board.usb_path):
            self.logger.warning('board %s was flashed on USB path %s, not %s',
                                self.board.serial, board.get('usb_path'), self.board.usb_path)
        return report

    def _log_event(self, event):
        kind = event.get('event')
        # Fields an event does not carry (a download has no board) are left
        # out rather than shown as None.
        who = ' '.join(str(event[key]) for key in ('command', 'board') if event.get(key))
        if kind == 'progress':
            self.logger.debug('%s: %s %s%%', who, event.get('phase'), event.get('percent'))
        elif kind == 'phase':
            attempt = event.get('attempt')
            self.logger.info('%s: %s%s', who, event.get('phase'),
                             ' (attempt %s)' % attempt if attempt else '')
        elif kind == 'board':
            usb = event.get('usb_path')
            self.logger.info('%s%s: %s after %s attempt(s)', who, ' (USB %s)' % usb if usb else '',
                             event.get('result'), event.get('attempts'))
        elif kind == 'result':
            self.logger.info('result: %s', json.dumps(event, sort_keys=True))

    def _run(self, cmd, report):
        """Runs cmd, feeding its output to report as it comes; returns its
        exit status (128+n for signal n), or None when it did not end within
        the time-out (it is then ended with its whole process group)."""
        try:
            proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, start_new_session=True)
        except OSError as e:
            raise OstrelleFlashError('cannot run %s: %s' % (cmd[0], e.strerror), reason=str(e))
        deadline = time.monotonic() + self.timeout
        pending = {proc.stdout: b'', proc.stderr: b''}
        sel = selectors.DefaultSelector()
        for f in pending:
            sel.register(f, selectors.EVENT_READ)

        def take(fileobj, lines):
            for raw in lines:
                line = raw.decode('utf-8', 'replace')
                if fileobj is proc.stdout:
                    event = report.feed(line)
                    if event is not None:
                        self._log_event(event)
                        continue
                else:
                    report.message(line)
                self.logger.info('%s', ESCAPES.sub('', line.rstrip('\r\n')))

        try:
            while sel.get_map():
                left = deadline - time.monotonic()
                if left <= 0:
                    if proc.poll() is not None:
                        # Ostrelle has ended: what it printed without a
                        # final line feed still counts, and what it left
                        # behind is ended.
                        for key in list(sel.get_map().values()):
                            if pending[key.fileobj]:
                                take(key.fileobj, [pending[key.fileobj]])
                        self._stop_group(proc.pid)
                        break
                    self._stop(proc)
                    return None
                # A tool left behind that holds the output open does not
                # keep the run going once Ostrelle itself has ended.
                if proc.poll() is not None:
                    deadline = min(deadline, time.monotonic() + OUTPUT_GRACE_SECONDS)
                for key, _ in sel.select(min(left, 1.0)):
                    chunk = os.read(key.fd, 65536)
                    if not chunk:
                        sel.unregister(key.fileobj)
                        lines = [pending[key.fileobj]] if pending[key.fileobj] else []
                    else:
                        *lines, pending[key.fileobj] = (pending[key.fileobj] + chunk).split(b'\n')
                    take(key.fileobj, lines)
            left = max(deadline - time.monotonic(), 0.1)
            try:
                status = proc.wait(timeout=left)
            except subprocess.TimeoutExpired:
                self._stop(proc)
                return None
            return 128 - status if status < 0 else status
        except BaseException:
            self._stop(proc)
            raise
        finally:
            sel.close()
            proc.stdout.close()
            proc.stderr.close()

    @staticmethod
    def _stop_group(pgid):
        try:
            os.killpg(pgid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def _stop(self, proc):
        """Ends Ostrelle and its tools (its process group): SIGTERM, which it
        answers by ending its running tool, then SIGKILL after 15 s."""
        if proc.poll() is not None:
            return
        try:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        except ProcessLookupError:
            proc.wait()


class Status(enum.Enum):
    unknown = 0
    off = 1
    flashed = 2
    shell = 3


@target_factory.reg_driver
@attr.s(eq=False)
class OstrelleStrategy(Strategy):
    """off: the board's power is off (when there is a power driver).
    flashed: power on (the board comes up in download mode, by its boot
    switch or the lab's strap), then flashed by the bootstrap driver; the
    console is active before the flash so the whole boot log is kept.
    shell: the login prompt seen on the console within login_timeout
    seconds, `username` (and `password`) sent, the shell prompt seen.
    `boot_log` then holds what the console showed up to the login prompt."""
    bindings = {
        'power': {'PowerProtocol', None},
        'console': 'ConsoleProtocol',
        'flasher': 'BootstrapProtocol',
    }

    status = attr.ib(default=Status.unknown)
    login_prompt = attr.ib(default='login: ', validator=attr.validators.instance_of(str))
    username = attr.ib(default='root', validator=attr.validators.instance_of(str))
    password = attr.ib(default='', validator=attr.validators.instance_of(str))
    prompt = attr.ib(default=r'[\w.-]+@[\w.-]+:[^\r\n]*[#$] ',
                     validator=attr.validators.instance_of(str))
    login_timeout = attr.ib(default=300.0, converter=float)

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.logger = logging.getLogger('OstrelleStrategy(%s)' % self.target.name)
        self.boot_log = ''
        self.flash_report = None

    @step(args=['status'])
    def transition(self, status, *, step):
        if not isinstance(status, Status):
            status = Status[status]
        if status == Status.unknown:
            raise StrategyError('can not transition to %s' % status)
        if status == self.status:
            step.skip('nothing to do')
            return
        if status == Status.off:
            if self.power is not None:
                self.target.activate(self.power)
                self.power.off()
        elif status == Status.flashed:
            self.transition(Status.off)
            self.target.activate(self.console)
            if self.power is not None:
                self.power.on()
            self.target.activate(self.flasher)
            self.flash_report = self.flasher.load()
        elif status == Status.shell:
            if self.status != Status.flashed:
                self.transition(Status.flashed)
            self._log_in()
        else:
            raise StrategyError('no transition found from %s to %s' % (self.status, status))
        self.status = status

    def _log_in(self):
        started = time.monotonic()
        _, before, match, _ = self.console.expect(self.login_prompt, timeout=self.login_timeout)
        self.boot_log = (before + match.group(0)).decode('utf-8', 'replace')
        self.logger.info('login prompt on the console after %.1f s', time.monotonic() - started)
        self.console.sendline(self.username)
        if self.password:
            self.console.expect('Password: ', timeout=30)
            self.console.sendline(self.password)
        self.console.expect(self.prompt, timeout=60)
        self.logger.info('logged in as %s', self.username)

    @step(args=['status'])
    def force(self, status, *, step):
        if not isinstance(status, Status):
            status = Status[status]
        if status == Status.unknown:
            raise StrategyError('can not force state %s' % status)
        self.target.activate(self.console)
        if self.power is not None:
            self.target.activate(self.power)
        self.status = status
