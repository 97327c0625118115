"""Habits of a Unix program: options that run nothing, colours only where
they help, and signals that leave the terminal as it was and no process of
the program behind, in every phase of a run."""

import glob
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from ostrelle_testbed.bed import (Bed, default_release, program_path, session_processes,
                                  set_target, setup_to_shell)
from flashing import make_release

ENDING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)

# A download that never ends: the tool records its process id and waits.
HANGING_WGET = '''#!/bin/sh
echo $$ > "$OSTRELLE_FAKE_STATE/tool.pid"
exec sleep 300
'''
# A flash tool that hangs while the board is being written.
HANGING_FH_LOADER = '''#!/bin/sh
echo $$ > "$OSTRELLE_FAKE_STATE/tool.pid"
echo "fh_loader: 10%"
exec sleep 300
'''
# The same for several boards at once: one file per running tool.
HANGING_FH_LOADERS = '''#!/bin/sh
echo $$ > "$OSTRELLE_FAKE_STATE/tool-$$.pid"
echo "fh_loader: 10%"
exec sleep 300
'''


def wait_for_file(path, timeout=20):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise AssertionError('%s never appeared' % path)
        time.sleep(0.05)


class Options(unittest.TestCase):
    def test_help_version_and_bad_options_run_nothing(self):
        with Bed() as bed:
            def run(*args):
                return subprocess.run([program_path()] + list(args), env=bed.env(),
                                      cwd=bed.tmp, stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=30)
            for flag in ('--help', '-h'):
                r = run(flag)
                self.assertEqual(r.returncode, 0)
                self.assertTrue(r.stdout.startswith(b'Usage: ostrelle [OPTION]... [COMMAND]...\n'))
                self.assertIn(b'\n  doctor ', r.stdout)
                self.assertIn(b'\n  -t, --target DIR ', r.stdout)
                # One screen of a plain terminal; the manual page has the rest.
                lines = r.stdout.decode().splitlines()
                self.assertLessEqual(len(lines), 24, r.stdout.decode())
                self.assertLessEqual(max(len(line) for line in lines), 79)
                self.assertTrue(r.stdout.endswith(b'man ostrelle (ostrelle(1)).\n'))
            for flag in ('--version', '-V'):
                r = run(flag)
                self.assertEqual((r.returncode, r.stdout), (0, b'ostrelle 4.1.0\n'))
            for args, line in ((['--bogus'], b"ostrelle: unknown option '--bogus'\n"),
                               # Help and version do not hide a bad option beside them.
                               (['--version', '--bogus'], b"ostrelle: unknown option '--bogus'\n"),
                               (['-h', '--color=blue'], b"ostrelle: invalid value 'blue' for"
                                                        b" --color (auto, always or never)\n"),
                               (['-x'], b"ostrelle: unknown option '-x'\n"),
                               (['--color'], b"ostrelle: option '--color' needs a value\n"),
                               (['--color=blue'], b"ostrelle: invalid value 'blue' for --color"
                                                  b" (auto, always or never)\n"),
                               (['--yes=1'], b"ostrelle: option '--yes' takes no value\n"),
                               (['--json'], b'ostrelle: --json goes with list, boards, doctor, '
                                            b'receipt, verify-receipt, download or flash\n'),
                               (['hello'], b"ostrelle: unknown command 'hello'\n"),
                               (['--board', '1-2'], b'ostrelle: --board goes with the flash and '
                                                    b'receipt commands\n'),
                               (['--changed-only', 'download'],
                                b'ostrelle: --changed-only goes with the flash command of the '
                                b'full build\n'),
                               (['verify-receipt'],
                                b'ostrelle: verify-receipt needs the receipt FILE\n'),
                               (['-b', '1-2', '--all-boards', 'flash'],
                                b'ostrelle: --board and --all-boards exclude each other\n'),
                               (['--only', 'cdt', 'download'],
                                b'ostrelle: --only goes with the flash command\n'),
                               (['--retries=-1', 'flash'],
                                b"ostrelle: invalid value '-1' for --retries (a count, 0 to 100)\n"),
                               (['--board-timeout', '2m', 'flash'],
                                b"ostrelle: invalid value '2m' for --board-timeout (seconds, 0 to "
                                b"86400)\n"),
                               (['--retries', '2', 'download'],
                                b'ostrelle: --retries and --board-timeout go with the flash '
                                b'command\n'),
                               (['--json', 'toolchain'],
                                b'ostrelle: --json goes with list, boards, doctor, receipt, '
                                b'verify-receipt, download or flash\n'),
                               (['--only=hlos', 'flash'],
                                b"ostrelle: invalid value 'hlos' for --only (cdt or non-hlos)\n")):
                r = run(*args)
                self.assertEqual((r.returncode, r.stdout, r.stderr),
                                 (2, b'', line + b"Try 'ostrelle --help'.\n"), args)
            # None of these started a host tool.
            self.assertEqual(os.listdir(bed.logs), [])


class Layers(unittest.TestCase):
    # The folders of src/, top to bottom (src/README.md draws them); flash/
    # and setup/ share a floor and never include each other.
    ORDER = {'utils': 0, 'core': 1, 'host': 2, 'release': 3, 'flash': 4, 'setup': 4, 'cli': 5}

    def test_includes_only_reach_down(self):
        src = os.path.join(os.environ['OSTRELLE_SOURCE_DIR'], 'src')
        folders = sorted(d for d in os.listdir(src) if os.path.isdir(os.path.join(src, d)))
        self.assertEqual(folders, sorted(self.ORDER), 'a folder of src/ without a floor')
        wrong = []
        for path in glob.glob(os.path.join(src, '*', '*.*')):
            here = os.path.basename(os.path.dirname(path))
            with open(path, encoding='utf-8') as f:
                for there in re.findall(r'^#include "([a-z_]+)/', f.read(), re.M):
                    if there in self.ORDER and there != here and \
                            self.ORDER[there] >= self.ORDER[here]:
                        wrong.append('%s includes %s/' % (os.path.relpath(path, src), there))
        self.assertEqual(wrong, [])


class OrdinaryUser(unittest.TestCase):
    def test_unit_suite_passes_for_a_user_who_is_not_root(self):
        """No unit test may depend on who runs it: as root (CI, here) the
        suite also runs as nobody, with a HOME of its own."""
        if os.geteuid() != 0:
            self.skipTest('not root: this run of the suite is already an ordinary user\'s')
        runuser = shutil.which('runuser')
        if not runuser:
            self.skipTest('runuser is not installed')
        build = os.environ.get('OSTRELLE_BUILD_DIR', '')
        suites = sorted(glob.glob(os.path.join(build, 'tests', 'unit_tests')))
        self.assertTrue(suites, 'no unit test executable in %s/tests' % build)
        nobody = pwd.getpwnam('nobody')
        home = tempfile.mkdtemp(prefix='ostrelle-nobody-')
        try:
            os.chown(home, nobody.pw_uid, nobody.pw_gid)
            as_nobody = [runuser, '-u', 'nobody', '--', 'env', 'HOME=' + home, 'TMPDIR=' + home]
            if subprocess.run(as_nobody + ['test', '-x', suites[0]]).returncode != 0:
                self.skipTest('nobody cannot reach %s' % suites[0])
            for suite in suites:
                r = subprocess.run(as_nobody + [suite, '--gtest_brief=1'], cwd=home,
                                   stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
                self.assertEqual(r.returncode, 0, '%s as nobody:\n%s%s' % (
                    os.path.basename(suite), r.stdout.decode(errors='replace')[-6000:],
                    r.stderr.decode(errors='replace')[-2000:]))
        finally:
            shutil.rmtree(home, ignore_errors=True)


class Colours(unittest.TestCase):
    def test_escapes_on_a_terminal_only(self):
        with Bed() as bed:
            s = bed.spawn()
            s.expect('Enter your Velmora user email: ')
            self.assertIn(b'\x1b[33mWelcome to Ostrelle version 4.1.0\x1b[0m\n', s.output)

            s = bed.spawn(env={'NO_COLOR': '1'})
            s.expect('Enter your Velmora user email: ')
            self.assertIn(b'\nWelcome to Ostrelle version 4.1.0\n', s.output)
            self.assertNotIn(b'\x1b[', s.output)

            for args, coloured in (((), False), (('--color=always',), True)):
                path = os.path.join(bed.tmp, 'out.txt')
                with open(path, 'wb') as out:
                    subprocess.run([program_path()] + list(args), env=bed.env(), cwd=bed.tmp,
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                   timeout=30)
                with open(path, 'rb') as f:
                    text = f.read()
                self.assertIn(b'Welcome to Ostrelle version 4.1.0', text)
                self.assertEqual(b'\x1b[33m' in text, coloured, args)


class Signals(unittest.TestCase):
    def assert_ends_cleanly(self, s, sig, bed):
        status = s.wait()
        self.assertEqual(status, -sig, s.output)
        self.assertEqual(s.terminal_attrs(), s.start_attrs)
        # Whatever the program started is gone with it.
        self.assertEqual(session_processes(s.pid), [])

    def each_signal(self, drive):
        """For every ending signal: a fresh run driven to the phase by drive,
        which returns the session; the signal goes to the program."""
        for sig in ENDING:
            with self.subTest(signal=sig.name), Bed() as bed:
                s = drive(bed)
                os.kill(s.pid, sig)
                self.assert_ends_cleanly(s, sig, bed)
                yield bed, s

    @staticmethod
    def at_password(bed):
        s = bed.spawn()
        s.expect('Enter your Velmora user email: ')
        s.sendline('user@example.com')
        s.expect('Enter your Velmora password: ')
        return s

    def test_set_up_question(self):
        def drive(bed):
            s = self.at_password(bed)
            s.sendline('secret')
            s.expect('overwrites existing files, default: ')
            s.expect(': \n')
            return s
        list(self.each_signal(drive))

    def test_hidden_password(self):
        def drive(bed):
            s = self.at_password(bed)
            s.send('sec')
            s.expect('***')
            return s
        list(self.each_signal(drive))

    def test_shell_prompt_and_handler_prompt(self):
        def at_prompt(bed):
            s = bed.spawn()
            setup_to_shell(bed, s)
            s.send('he')
            s.expect('he')
            return s

        def at_confirmation(bed):
            s = at_prompt(bed)
            s.send('\x15')  # Ctrl-U: clear the line
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            return s
        list(self.each_signal(at_prompt))
        list(self.each_signal(at_confirmation))

    def test_running_download_is_ended_with_the_program(self):
        def drive(bed):
            s = bed.spawn()
            setup_to_shell(bed, s)
            bed.install_fake('wget', HANGING_WGET)
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            wait_for_file(os.path.join(bed.state, 'tool.pid'))
            return s
        for bed, s in self.each_signal(drive):
            self.assertNotIn(b'wget-log', b' '.join(os.fsencode(n) for n in os.listdir(bed.tmp)))

    def test_interrupted_flash_says_the_board_may_be_half_written(self):
        def drive(bed):
            s = bed.spawn()
            setup_to_shell(bed, s)
            from flashing import board_in_download_mode
            make_release(bed.target, release='kt1le1.0', ufs=True, cdt=True,
                         digest=default_release('kt1', '_le_')[2])
            board_in_download_mode(bed, node='/dev/ttyUSB0')
            bed.install_fake('fh_loader', HANGING_FH_LOADER)
            s.sendline('2')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect('fh_loader: 10%')
            return s
        for bed, s in self.each_signal(drive):
            self.assertIn(b'Interrupted while the board was being written: it may be '
                          b'half-written.\nPut the board back into download mode and run '
                          b'command "2" again.', s.output)

    def test_interrupted_parallel_flash_ends_every_board_and_names_them(self):
        from ostrelle_testbed import board
        from ostrelle_testbed.release_files import sha256
        from unattended_runs import answers, catalogue
        with Bed() as bed:
            pkg = catalogue(bed, 'kt1', '_le_', 'kt1-le-1')
            make_release(bed.target, release='kt1-le-1', ufs=True, cdt=True, digest=sha256(pkg))
            board.configure(bed.state, ports=[board.download_port(i) for i in (1, 2)])
            bed.install_fake('fh_loader', HANGING_FH_LOADERS)
            s = bed.spawn(args=answers(bed, 'kt1') + ['flash', '--all-boards'])
            deadline = time.monotonic() + 30
            while len([n for n in os.listdir(bed.state) if n.startswith('tool-')]) < 2:
                self.assertLess(time.monotonic(), deadline, s.output)
                time.sleep(0.05)
            # Ctrl-C reaches this program, which ends each board's child and tools.
            s.send('\x03')
            self.assert_ends_cleanly(s, signal.SIGINT, bed)
            self.assertIn(b'Interrupted while these boards were being written; they may be '
                          b'half-written:\n  7A3C11F1\n  7A3C11F2\nPut them back into '
                          b'download mode and flash them again.', s.output)

    def test_keys_typed_while_a_tool_runs_reach_it_and_end_the_program(self):
        # The terminal belongs to the running tool: Ctrl-C reaches it, and the
        # program ends with it, by the same signal.
        with Bed() as bed:
            s = bed.spawn()
            setup_to_shell(bed, s)
            bed.install_fake('wget', HANGING_WGET)
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            wait_for_file(os.path.join(bed.state, 'tool.pid'))
            s.send('\x03')
            self.assert_ends_cleanly(s, signal.SIGINT, bed)

    def test_stop_and_continue_restore_each_mode_and_ask_again(self):
        # Started as a job of an interactive shell, so that SIGTSTP stops it.
        def state(pid):
            with open('/proc/%d/stat' % pid) as f:
                return f.read().rsplit(')', 1)[1].split()[0]

        def until(condition):
            deadline = time.monotonic() + 10
            while not condition() and time.monotonic() < deadline:
                time.sleep(0.05)
            return condition()

        with Bed() as bed:
            s = bed.spawn(job_control=True)
            pid = s.program_pid
            # Ctrl-Z at a set-up question: the terminal drops the half-typed
            # answer; once continued the program says so and asks again. A
            # hidden answer starts over too.
            again = ('\nContinued after a stop: what was typed of this answer was dropped, '
                     'type it again\n')
            name, _, digest = default_release('kt1', '_le_')
            bed.put_list('kt1', '_le_', ['%s %s' % (name, digest)])
            for question, typed, answer in (('Enter your Velmora user email: ', 'someone@exa',
                                             'user@example.com'),
                                            ('Enter your Velmora password: ', 'sec', 'secret')):
                s.expect(question)
                s.send(typed)
                s.send('\x1a')
                self.assertTrue(until(lambda: state(pid) == 'T'))
                self.assertEqual(s.terminal_attrs(), s.start_attrs)
                os.kill(pid, signal.SIGCONT)
                s.expect(again + question)
                s.sendline(answer)
            s.expect('Successful authentication.')
            self.assertEqual([r.body for r in bed.mirror.requests_for('/ldap.php')],
                             [b'mail=user@example.com&pwd=secret'])
            set_target(s, bed.target)
            s.expect('to continue with: ')
            s.sendline('1')
            s.expect(') to continue with: ')
            s.sendline('1')
            s.expect('> ')
            # At the shell prompt: the start attributes while stopped, the
            # editor's mode and the half-typed line back on continuing.
            editor_mode = s.terminal_attrs()
            s.send('hel')
            s.expect('hel')
            os.kill(pid, signal.SIGTSTP)
            self.assertTrue(until(lambda: state(pid) == 'T'))
            self.assertEqual(s.terminal_attrs(), s.start_attrs)
            os.kill(pid, signal.SIGCONT)
            self.assertTrue(until(lambda: s.terminal_attrs() == editor_mode))
            s.expect('\r> hel')
            s.sendline('p')
            s.expect('commands:\n')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)

if __name__ == '__main__':
    unittest.main()
