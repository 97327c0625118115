"""The test bed itself: mirror, fake tools, driver and program sessions."""

import io
import os
import shutil
import subprocess
import time
import unittest
import zipfile

from ostrelle_testbed import board, release_files, storage
from ostrelle_testbed.bed import TESTBED_HTTP, TESTBED_HTTPS, Bed
from ostrelle_testbed.mirror import resource_path
from ostrelle_testbed.world import HOST_PACKAGES


def run(bed, argv, **kw):
    return subprocess.run(argv, env=bed.env(), cwd=bed.tmp, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120, **kw)


WGET = ['wget', '--retry-connrefused', '-t', '5', '-T', '30', '-q', '-c', '--passive-ftp']


def wget(bed):
    """wget trusting the scenario mirror's certificate authority."""
    return WGET + ['--ca-certificate=' + bed.mirror.ca_file]


class MirrorThroughWget(unittest.TestCase):
    def test_download_is_rewritten_to_the_scenario_mirror_and_logged(self):
        with Bed() as bed:
            bed.put('kt1', 'a.txt', b'hello\n')
            url = TESTBED_HTTPS + resource_path('kt1', 'a.txt')
            out = os.path.join(bed.tmp, 'out')
            proc = run(bed, wget(bed) + ['-P', out, url])
            self.assertEqual(proc.returncode, 0, proc.stdout)
            with open(os.path.join(out, 'a.txt'), 'rb') as f:
                self.assertEqual(f.read(), b'hello\n')
            # The log keeps the compiled-in address, not the rewritten one.
            self.assertEqual(bed.tool_log('wget'), [wget(bed)[1:] + ['-P', out, url]])
            reqs = bed.mirror.requests_for(resource_path('kt1', 'a.txt'))
            self.assertEqual([(r.scheme, r.method) for r in reqs], [('https', 'GET')])

    def test_plain_http_port_serves_put_path(self):
        with Bed() as bed:
            bed.mirror.put_path('/archive/tool.tar.xz', b'x' * 1000)
            out = os.path.join(bed.tmp, 'out')
            proc = run(bed, ['wget', '-q', '-P', out, TESTBED_HTTP + '/archive/tool.tar.xz'])
            self.assertEqual(proc.returncode, 0, proc.stdout)
            self.assertEqual(os.path.getsize(os.path.join(out, 'tool.tar.xz')), 1000)
            self.assertEqual(bed.mirror.requests_for('/archive/tool.tar.xz')[0].scheme, 'http')

    def test_cut_file_is_completed_by_continuation_with_range(self):
        with Bed() as bed:
            data = bytes(range(256)) * 400
            bed.put('kt6', 'r.zip', data)
            path = resource_path('kt6', 'r.zip')
            bed.mirror.cut(path, 10000)
            out = os.path.join(bed.tmp, 'out')
            argv = wget(bed) + ['-P', out, TESTBED_HTTPS + path]
            run(bed, argv)
            self.assertEqual(os.path.getsize(os.path.join(out, 'r.zip')), 10000)
            run(bed, argv)
            with open(os.path.join(out, 'r.zip'), 'rb') as f:
                self.assertEqual(f.read(), data)
            ranges = [r.range for r in bed.mirror.requests_for(path, 'GET')]
            self.assertEqual(ranges, [None, 'bytes=10000-'])
            # A third run finds the file complete: 416, file unchanged.
            run(bed, argv)
            self.assertEqual(os.path.getsize(os.path.join(out, 'r.zip')), len(data))

    def test_dropped_connection_is_retried_by_wget(self):
        with Bed() as bed:
            data = b'z' * 50000
            bed.put('kt6', 'd.zip', data)
            path = resource_path('kt6', 'd.zip')
            bed.mirror.cut(path, 20000, close=True)
            out = os.path.join(bed.tmp, 'out')
            run(bed, wget(bed) + ['-P', out, TESTBED_HTTPS + path])
            with open(os.path.join(out, 'd.zip'), 'rb') as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(bed.mirror.requests_for(path, 'GET')[-1].range, 'bytes=20000-')

    def test_missing_file_and_forced_failure_leave_nothing(self):
        with Bed() as bed:
            bed.put('kt2', 'b.txt', b'b')
            bed.mirror.fail(resource_path('kt2', 'b.txt'), 404)
            out = os.path.join(bed.tmp, 'out')
            for name in ('b.txt', 'nothere.txt'):
                run(bed, wget(bed) + ['-P', out, TESTBED_HTTPS + resource_path('kt2', name)])
                self.assertFalse(os.path.exists(os.path.join(out, name)))

    def test_sign_in_post_reply_and_queue(self):
        with Bed() as bed:
            bed.mirror.set_ldap_replies(['{"status": 0}\n'])
            post = ['wget', '--ca-certificate=' + bed.mirror.ca_file, '--post-data', 'mail=a&pwd=b',
                    TESTBED_HTTPS + '/ldap.php', '-q', '-O', '-']
            self.assertEqual(run(bed, post).stdout, b'{"status": 0}\n')
            self.assertEqual(run(bed, post).stdout, b'{"status": 1, "mail": "user@example.com"}\n')
            self.assertEqual([r.body for r in bed.mirror.requests_for('/ldap.php')],
                             [b'mail=a&pwd=b'] * 2)


class FakeTools(unittest.TestCase):
    def test_sudo_never_runs_ln_and_refuses_tools_outside_the_bed(self):
        with Bed() as bed:
            victim = os.path.join(bed.tmp, 'link')
            proc = run(bed, ['sudo', 'ln', '-s', '/etc/hostname', victim])
            self.assertEqual(proc.returncode, 0)
            self.assertFalse(os.path.lexists(victim))
            proc = run(bed, ['sudo', 'touch', victim])
            self.assertNotEqual(proc.returncode, 0)
            self.assertFalse(os.path.exists(victim))
            self.assertIn(b'refusing', proc.stdout)
            proc = run(bed, ['sudo', 'sh', '-c', 'echo ran'])
            self.assertEqual(proc.stdout, b'ran\n')
            self.assertEqual(bed.tool_log('sudo'),
                             [['ln', '-s', '/etc/hostname', victim], ['touch', victim],
                              ['sh', '-c', 'echo ran']])

    def test_sudo_runs_fakes_of_the_bed(self):
        with Bed() as bed:
            bed.install_fake('mytool', '#!/bin/sh\necho "mytool $*"\n')
            self.assertEqual(run(bed, ['sudo', 'mytool', 'a b']).stdout, b'mytool a b\n')

    def test_dpkg_and_apt_get_share_the_installed_set(self):
        with Bed() as bed:
            self.assertEqual(run(bed, ['dpkg', '-l'] + HOST_PACKAGES).returncode, 0)
            bed.set_installed(['wget', 'udev'])
            bed.set_unavailable(['kmod'])
            self.assertEqual(run(bed, ['dpkg', '-l', 'wget', 'unzip']).returncode, 1)
            # Without -y it asks, as apt-get does; the end of input aborts.
            proc = run(bed, ['apt-get', 'install', 'unzip', 'kmod'], stdin=subprocess.DEVNULL)
            self.assertEqual(proc.returncode, 1)
            self.assertTrue(proc.stdout.endswith(b'[Y/n] Abort.\n'), proc.stdout)
            self.assertEqual(run(bed, ['dpkg', '-l', 'unzip']).returncode, 1)
            proc = run(bed, ['apt-get', 'install', '-y', 'unzip', 'kmod'],
                       stdin=subprocess.DEVNULL)
            self.assertEqual(proc.returncode, 100)
            self.assertEqual(run(bed, ['dpkg', '-l', 'wget', 'unzip']).returncode, 0)
            self.assertEqual(run(bed, ['dpkg', '-l', 'kmod']).returncode, 1)
            self.assertIn(b'kmod:\n  Installed: (none)\n  Candidate: (none)\n',
                          run(bed, ['apt-cache', 'policy', 'kmod']).stdout)
            self.assertEqual(bed.tool_log('apt-get'), [['install', 'unzip', 'kmod'],
                                                       ['install', '-y', 'unzip', 'kmod']])


ECHO_PROGRAM = r'''
import os, sys
sys.stdout.write('tty=%d\n' % os.isatty(0))
sys.stdout.flush()
for line in sys.stdin:
    sys.stdout.write('got ' + line)
    sys.stdout.flush()
sys.stdout.write('end of input\n')
sys.exit(3)
'''


class SimulatedBoard(unittest.TestCase):
    def test_board_lost_in_a_write_fails_fh_loader_and_comes_back(self):
        with Bed() as bed:
            with zipfile.ZipFile(io.BytesIO(
                    release_files.release_package('r1', storages=('ufs',), flashable='le'))) as z:
                z.extractall(bed.tmp)
            search = os.path.join(bed.tmp, 'r1', 'full_build', 'ufs') + '/'
            node = '/dev/ttyUSB0'
            sendxml = ['fh_loader', '--port=' + node, '--sendxml=rawprogram4.xml,patch4.xml',
                       '--search_path=' + search, '--memoryname=UFS']
            total = sum(os.path.getsize(search + n) for n in ('abl.elf', 'boot.img'))

            def lose_once(seed):
                board.configure(bed.state, ports=[board.download_port(0)], seed=seed,
                                lose_probability=1, lost_return_seconds=2)
                self.assertEqual(run(bed, ['QSaharaServer', '-p', node, '-s',
                                           '13:' + search + 'prog_firehose_ddr.elf']).returncode, 0)
                return run(bed, sendxml)

            proc = lose_once(seed=7)
            self.assertEqual(proc.returncode, 1, proc.stdout)
            self.assertIn(b'Download Fail:Could not read from port /dev/ttyUSB0\n', proc.stdout)
            self.assertNotIn(b'100%', proc.stdout)
            # Part of the write arrived, the rest did not; the port is gone.
            written = storage.bytes_written(bed.state)
            self.assertTrue(0 < written < total, (written, total))
            held = storage.storage(bed.state)
            self.assertTrue(any(e.get('partial') for e in held.values()), held)
            self.assertEqual(storage.patches(bed.state), {})
            self.assertNotIn(b'ttyUSB0', run(bed, ['find', '/sys/bus/usb/devices/']).stdout)
            self.assertEqual(run(bed, sendxml).returncode, 1)

            # The same seed loses the board at the same byte; another seed elsewhere.
            self.assertEqual(storage.bytes_written(bed.state), written)
            lose_once(seed=7)
            self.assertEqual(storage.bytes_written(bed.state), written)
            lose_once(seed=8)
            self.assertNotEqual(storage.bytes_written(bed.state), written)

            # Back in download mode, on the same USB path with the same serial.
            deadline = time.monotonic() + 10
            while board.boards(board.load(bed.state))[0]['mode'] != 'download':
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.1)
            listed = run(bed, ['find', '/sys/bus/usb/devices/']).stdout.decode().split()
            back = [p for p in listed if 'ttyUSB0' in p][0]
            props = run(bed, ['udevadm', 'info', '-q', 'property', '--export', '-p',
                              back[:-len('/dev')]]).stdout.decode()
            self.assertIn("ID_SERIAL='QUSB_BULK_CID:0402_SN:7A3C11F0'", props)
            self.assertIn('/1-2/', back)


class Sessions(unittest.TestCase):
    def spawn_echo(self, bed, stdin):
        script = os.path.join(bed.tmp, 'echo.py')
        with open(script, 'w') as f:
            f.write(ECHO_PROGRAM)
        return bed.spawn([script], stdin=stdin, program='/usr/bin/python3')

    def test_pty_session_bytes_arrive_unchanged_and_eof_ends_input(self):
        with Bed() as bed:
            s = self.spawn_echo(bed, 'pty')
            self.assertEqual(s.expect('tty=1\n'), b'tty=1\n')
            s.sendline('abc')
            # The terminal echoes the typed line; no carriage returns are added.
            self.assertEqual(s.expect('got abc\n'), b'abc\ngot abc\n')
            s.eof()
            s.expect('end of input\n')
            self.assertEqual(s.wait(), 3)

    def test_pipe_session(self):
        with Bed() as bed:
            s = self.spawn_echo(bed, 'pipe')
            s.expect('tty=0\n')
            s.sendline('x y')
            s.eof()
            self.assertEqual(s.wait(), 3)
            self.assertTrue(s.output.endswith(b'got x y\nend of input\n'), s.output)

    def test_expect_fails_with_the_transcript(self):
        with Bed() as bed:
            s = self.spawn_echo(bed, 'pipe')
            s.eof()
            with self.assertRaises(AssertionError) as cm:
                s.expect('never printed', timeout=5)
            self.assertIn('end of input', str(cm.exception))


class SanitizerReports(unittest.TestCase):
    def test_a_report_fails_the_scenario(self):
        cc = shutil.which('cc') or shutil.which('gcc')
        if cc is None:
            self.skipTest('no C compiler to build a leaking program')
        with self.assertRaises(AssertionError) as cm:
            with Bed() as bed:
                src = os.path.join(bed.tmp, 'leak.c')
                exe = os.path.join(bed.tmp, 'leak')
                with open(src, 'w') as f:
                    f.write('#include <stdlib.h>\nvoid *p;\n'
                            'int main(void) { p = malloc(7); p = 0; return 0; }\n')
                subprocess.run([cc, '-fsanitize=address', '-o', exe, src], check=True)
                s = bed.spawn(program=exe, stdin='pipe')
                s.wait()
        self.assertIn('sanitizer reports', str(cm.exception))
        self.assertIn('LeakSanitizer', str(cm.exception))


class Driver(unittest.TestCase):
    def test_call_passes_globals_and_returns_state(self):
        with Bed() as bed:
            res = bed.call('sdk_dl_sdks', input=b'q\n', target=bed.target, product='kt6',
                           platform=1, release='r1', checksum='abc', dev='/dev/ttyUSB9')
            self.assertEqual(res.state['target_path'], bed.target + '/')
            self.assertEqual(res.state['product'], 'kt6')
            self.assertEqual(res.state['platform'], '1')
            self.assertEqual(res.state['release_ver'], 'r1')
            self.assertEqual(res.state['check_sum'], 'abc')
            self.assertEqual(res.state['dev_name'], '/dev/ttyUSB9')

    def test_unknown_name_is_a_usage_error(self):
        with Bed() as bed:
            self.assertEqual(bed.call('no_such_handler').status, 64)


if __name__ == '__main__':
    unittest.main()
