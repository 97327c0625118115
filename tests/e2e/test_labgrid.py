"""Ostrelle as the download-mode flasher of a labgrid lab, with labgrid's own
pytest plugin.

`pytest --lg-env` runs the shipped example test (contrib/labgrid/test_board.py)
on an environment made from the shipped example (contrib/labgrid/board01.yaml)
with the lab's values replaced by the test bed's: the test-bed build, the
bed's target directory and password file, `true` for the power switch, and
as serial port a pseudo-terminal whose other side is the simulated board's
console (ostrelle_testbed.console). labgrid is Debian's python3-labgrid,
installed for the system's Python.
"""

import functools
import hashlib
import importlib.util
import json
import os
import re
import pty
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import tty
import unittest

from ostrelle_testbed import release_files
from ostrelle_testbed.bed import SOURCE_DIR, Bed, program_path
from ostrelle_testbed.mirror import resource_path

import flashing

SYSTEM_PYTHON = '/usr/bin/python3'
CONTRIB = os.path.join(SOURCE_DIR, 'contrib', 'labgrid')
MODULE = os.path.join(CONTRIB, 'ostrelle_labgrid.py')
EXAMPLE_ENV = os.path.join(CONTRIB, 'board01.yaml')
EXAMPLE_TEST = os.path.join(CONTRIB, 'test_board.py')
RELEASE = 'kt5-le2.0-2.1.0'
LIST_TAG = '_le2.0_'
# The USB serial of the board flashing.board_in_download_mode attaches.
BOARD_SERIAL = '7A3C11F0'


def skip_reason():
    if importlib.util.find_spec('labgrid') is None:
        if os.path.exists(SYSTEM_PYTHON) and os.path.realpath(sys.executable) != SYSTEM_PYTHON:
            return ('labgrid is installed for %s, not for %s, which runs this test'
                    % (SYSTEM_PYTHON, sys.executable))
        return ('python3-labgrid is not installed (tools/install-deps.sh installs it where the '
                'package archive offers it)')
    if importlib.util.find_spec('pytest') is None:
        return 'python3-pytest is not installed'
    return None


@functools.lru_cache(maxsize=None)
def load_module():
    """The driver's module, loaded once: it registers its classes with
    labgrid."""
    module_spec = importlib.util.spec_from_file_location('ostrelle_labgrid', MODULE)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def environment_file(values):
    """The example environment with each of its values replaced by the test
    bed's; every value of the example must get one, so the example and the
    tested environment cannot drift apart."""
    with open(EXAMPLE_ENV) as f:
        text = f.read()
    pattern = re.compile(r'^(\s+)(- |[a-z_]+: )(.+)$', re.M)
    keys = [m.group(2).strip(' :-') or 'import' for m in pattern.finditer(text)]
    assert sorted(keys) == sorted(values), (keys, sorted(values))
    return pattern.sub(
        lambda m: m.group(1) + m.group(2) + json.dumps(values[m.group(2).strip(' :-') or 'import']),
        text)


@unittest.skipIf(skip_reason(), skip_reason())
class LabgridRun(unittest.TestCase):
    def serial_console(self, bed):
        """Starts the board's console on a pseudo-terminal; returns the path
        of its other side, which labgrid opens as the board's serial port."""
        master, slave = pty.openpty()
        tty.setraw(slave)
        console = subprocess.Popen(
            [sys.executable, '-m', 'ostrelle_testbed.console', bed.state, BOARD_SERIAL],
            stdin=master, stdout=master, env=bed.env(), start_new_session=True)
        os.close(master)
        self.addCleanup(os.close, slave)
        self.addCleanup(console.wait)
        self.addCleanup(console.kill)
        return os.ttyname(slave)

    def run_pytest(self, bed, name):
        """Runs the example test with labgrid's pytest plugin on this bed's
        board; returns pytest's output and its exit status."""
        password = os.path.join(bed.tmp, 'labgrid-password')
        with open(password, 'w') as f:
            f.write('secret\n')
        os.chmod(password, 0o600)
        work = os.path.join(bed.tmp, 'labgrid-' + name)
        os.makedirs(work)
        env_file = os.path.join(work, 'board01.yaml')
        with open(env_file, 'w') as f:
            f.write(environment_file({
                'import': MODULE,
                'serial': BOARD_SERIAL,
                'usb_path': '1-2',
                'product': 'kt5',
                'platform': 'LE2.0',
                'directory': bed.target,
                'port': self.serial_console(bed),
                'speed': 115200,
                'cmd_on': 'true',
                'cmd_off': 'true',
                'command': program_path(),
                'release': RELEASE,
                'email': 'lab-robot@example.com',
                'password_file': password,
                'json': True,
                'retries': 2,
                'login_prompt': 'login: ',
                'username': 'root',
                'prompt': 'root@board:~# ',
            }))
        proc = subprocess.Popen(
            [sys.executable, '-m', 'pytest', '-p', 'no:cacheprovider', '-o', 'log_cli=true',
             '--log-cli-level=INFO', '--lg-env', env_file, EXAMPLE_TEST, '--rootdir', work],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=bed.env(), cwd=work, start_new_session=True, text=True)
        try:
            output, _ = proc.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            output, _ = proc.communicate()
            self.fail('pytest did not end within 120 s:\n' + output)
        return output, proc.returncode

    def put_release(self, bed):
        package = release_files.release_package(RELEASE, flashable='le')
        bed.put('kt5', RELEASE + '.zip', package)
        bed.put_list('kt5', LIST_TAG, ['%s %s' % (RELEASE, hashlib.sha256(package).hexdigest())])

    def test_board_is_flashed_and_the_test_sees_its_login(self):
        with Bed() as bed:
            self.put_release(bed)
            flashing.board_in_download_mode(bed)
            output, status = self.run_pytest(bed, 'pass')
            self.assertEqual(status, 0, output)
            self.assertRegex(output, r'=+ 1 passed in ', output)
            self.assertIn('logged in as root', output)
            # Ostrelle downloaded the release through the mirror, flashed the
            # board named by its serial and restarted it; the boot was seen
            # on the console, not under adb.
            self.assertTrue(bed.mirror.requests_for(resource_path('kt5', RELEASE + '.zip')),
                            output)
            self.assertIn('--reset', [a for args in bed.tool_log('fh_loader') for a in args])
            self.assertEqual(bed.tool_log('adb'), [])
            self.assertIn('Device found: /dev/ttyUSB0 (USB 1-2, serial %s)' % BOARD_SERIAL,
                          output)
            # The driver followed the run through its JSON events.
            self.assertIn('flash %s: writing build (attempt 1)' % BOARD_SERIAL, output)
            self.assertIn('flash %s (USB 1-2): flashed after 1 attempt(s)' % BOARD_SERIAL, output)

    def test_no_board_in_download_mode_fails_the_test_with_the_reason(self):
        with Bed() as bed:
            self.put_release(bed)
            flashing.no_board(bed)
            output, status = self.run_pytest(bed, 'fail')
            self.assertEqual(status, 1, output)
            self.assertRegex(output, r'=+ 1 failed in ', output)
            self.assertIn('OstrelleFlashError: ostrelle failed with status 6 (no board in download mode, '
                          'or the board was lost): '
                          'Could not find a Qualcomm device in QDL mode', output)
            self.assertEqual(bed.tool_log('fh_loader'), [])


@unittest.skipIf(skip_reason(), skip_reason())
class DriverLogic(unittest.TestCase):
    """How the driver reads Ostrelle's reports and composes its command line."""

    def test_reports_are_read_from_json_lines_and_the_result_line(self):
        m = load_module()
        parse = m.parse_line
        self.assertEqual(parse('ostrelle-result: {"status":1,"commands":[]}\n'),
                         {'event': 'result', 'status': 1, 'commands': []})
        self.assertEqual(parse('{"event":"phase","phase":"erase","attempt":1}'),
                         {'event': 'phase', 'phase': 'erase', 'attempt': 1})
        # Messages for people, even those that look like JSON, are not events.
        for line in ('Device found: /dev/ttyUSB0', '{"status":0}', '{not json',
                     'ostrelle-result: [1]', 'ostrelle-result: {"event":"board"}', '[1, 2]'):
            self.assertIsNone(parse(line), line)

    def test_a_run_is_judged_by_its_status_result_and_board(self):
        m = load_module()
        ok = ('{"event":"board","board":"7A3C11F0","usb_path":"1-2","result":"flashed",'
              '"attempts":1}')
        passed = ('{"event":"result","status":0,"commands":[{"command":"download","result":'
                  '"pass"},{"command":"flash","result":"pass"}]}')

        def report(*lines):
            r = m.FlashReport('7A3C11F0')
            for line in lines:
                r.feed(line)
            return r

        self.assertIsNone(report(ok, passed).failure(0))
        # The program's own reason, else its last red message's first line.
        failed = report('{"event":"board","board":"7A3C11F0","result":"no board"}',
                        '{"event":"result","status":6,"commands":[],"reason":"Board lost"}')
        self.assertEqual(failed.failure(6), 'ostrelle failed with status 6 (no board in '
                         'download mode, or the board was lost): Board lost')
        old = report('No board in download mode is 7A3C11F0',
                     '\x1b[31mCould not find a Qualcomm device in QDL mode',
                     'Please follow the README and reconnect your device\x1b[0m',
                     'ostrelle-result: {"status":1,"commands":[]}')
        old.message('ostrelle: flash failed')
        self.assertEqual(old.reason(), 'Could not find a Qualcomm device in QDL mode')
        self.assertEqual(report('Killed').failure(137),
                         'ostrelle failed with status 137 (ended by SIGKILL): Killed')
        # A status 0 is not taken for a flash the reports do not show.
        self.assertEqual(report(ok).failure(0),
                         'ostrelle ended with status 0 but without its result line')
        self.assertIn('flash result is missing',
                      report(passed.replace(',{"command":"flash","result":"pass"}', ''))
                      .failure(0))
        self.assertIn('board 7A3C11F0 is not booted',
                      report(ok.replace('"flashed"', '"not booted"'), passed).failure(0))

    def test_options_are_given_only_when_configured_and_values_stay_values(self):
        m = load_module()
        from labgrid import Target
        target = Target('options')
        m.OstrelleBoard(target, None, product='kt5', platform='LE2.0', directory='/srv/b 1',
                        usb_path='1-2.3')
        plain = m.OstrelleFlashDriver(target, 'plain', release='-x; rm -rf ~')
        self.assertEqual(plain.arguments(), [
            'ostrelle', '--no-input', '--yes', '--color=always', '--no-boot-wait',
            '--board=1-2.3', '--target=/srv/b 1', '--product=kt5', '--platform=LE2.0',
            '--release=-x; rm -rf ~', 'download', 'flash'])
        full = m.OstrelleFlashDriver(target, 'full', json=True, changed_only=True, retries=2,
                                     wait_for_boot=True, download=False)
        # A package names its release itself unless one is given.
        self.assertEqual(full.arguments(package='https://ci.example/kt5 b.zip'), [
            'ostrelle', '--no-input', '--yes', '--color=always', '--json', '--changed-only',
            '--retries=2', '--board=1-2.3', '--target=/srv/b 1', '--product=kt5',
            '--platform=LE2.0', '--package=https://ci.example/kt5 b.zip', 'flash'])

    def test_a_run_that_does_not_end_is_stopped(self):
        m = load_module()
        from labgrid import Target
        target = Target('hung')
        m.OstrelleBoard(target, None, product='kt5', platform='LE2.0', directory='/srv/b',
                        serial='7A3C11F0')
        with tempfile.TemporaryDirectory() as tmp:
            program = os.path.join(tmp, 'ostrelle')
            with open(program, 'w') as f:
                f.write('#!/bin/sh\n'
                        'echo "Device found: /dev/ttyUSB0"\n'
                        'if [ "$OSTRELLE_HANG" = tool ]; then\n'
                        '  sleep 60 &\n'
                        "  printf 'ostrelle-result: {\"status\":0,\"commands\":"
                        "[{\"command\":\"flash\",\"result\":\"pass\"}]}'\n"
                        '  exit 0\n'
                        'fi\n'
                        'exec sleep 60\n')
            os.chmod(program, 0o755)
            driver = m.OstrelleFlashDriver(target, None, command=program, timeout=1)
            target.activate(driver)
            started = time.monotonic()
            with self.assertRaises(m.OstrelleFlashError) as raised:
                driver.flash()
            self.assertEqual(str(raised.exception), 'ostrelle did not end within 1 s and was '
                             'stopped: Device found: /dev/ttyUSB0')
            self.assertIsNone(raised.exception.status)
            # A tool Ostrelle left behind holding its output does not hold
            # the flash; the result line without a line feed still counts.
            driver.timeout = 30.0
            os.environ['OSTRELLE_HANG'] = 'tool'
            try:
                report = driver.flash()
            finally:
                del os.environ['OSTRELLE_HANG']
            self.assertEqual(report.result['status'], 0)
            self.assertLess(time.monotonic() - started, 15)

    def test_a_board_of_a_place_is_flashed_on_its_exporter_with_its_arguments_intact(self):
        m = load_module()
        from labgrid import Target
        from labgrid.util.ssh import sshmanager
        with tempfile.TemporaryDirectory() as tmp:
            # ssh as labgrid uses it: "-O check" finds a running master; a
            # command runs through the remote shell (here: sh, locally),
            # its words joined by blanks as ssh joins them.
            with open(os.path.join(tmp, 'ssh'), 'w') as f:
                f.write('#!%s\n' % SYSTEM_PYTHON + textwrap.dedent('''\
                    import os, sys
                    args = sys.argv[1:]
                    while args and args[0].startswith('-'):
                        option = args.pop(0)
                        if option == '-O':
                            sys.exit(0)
                        if option == '-o':
                            args.pop(0)
                    with open(os.path.join(os.path.dirname(sys.argv[0]), 'hosts'), 'a') as f:
                        f.write(args[0] + '\\n')
                    words = args[1:]
                    if words[:1] == ['--']:
                        words = words[1:]
                    if words != ['cat']:
                        os.execv('/bin/sh', ['sh', '-c', ' '.join(words)])
                    '''))
            program = os.path.join(tmp, 'ostrelle')
            with open(program, 'w') as f:
                f.write('#!%s\n' % SYSTEM_PYTHON + textwrap.dedent('''\
                    import json, os, sys
                    with open(os.path.join(os.path.dirname(sys.argv[0]), 'argv'), 'w') as f:
                        json.dump(sys.argv[1:], f)
                    print('ostrelle-result: {"status":0,"commands":['
                          '{"command":"flash","result":"pass"}]}')
                    '''))
            for name in ('ssh', 'ostrelle'):
                os.chmod(os.path.join(tmp, name), 0o755)
            target = Target('place')
            board = m.OstrelleBoard(target, None, product='kt5', platform='LE2.0',
                                    directory="/srv/board 1/it's", serial='7A3C11F0')
            board.extra = {'proxy': 'exporter.lab.example', 'proxy_required': False}
            driver = m.OstrelleFlashDriver(target, None, command=program,
                                           release="x' --target=/ 'y; touch %s/pwned" % tmp)
            target.activate(driver)
            path = os.environ['PATH']
            os.environ['PATH'] = tmp + os.pathsep + path
            try:
                driver.flash()
            finally:
                os.environ['PATH'] = path
                sshmanager.close_all()
            with open(os.path.join(tmp, 'argv')) as f:
                self.assertEqual(json.load(f), driver.arguments()[1:])
            with open(os.path.join(tmp, 'hosts')) as f:
                self.assertIn('exporter.lab.example', f.read().split())
            self.assertFalse(os.path.exists(os.path.join(tmp, 'pwned')))


if __name__ == '__main__':
    unittest.main()
