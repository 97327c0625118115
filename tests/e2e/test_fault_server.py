"""Faults of the resource server: down (connection refused), 404 for the
lists and the packages, and a connection that closes in the middle of a
package. The program must say what happened, never announce success,
never hang, and leave no package that a later run would take as complete."""

import os
import time
import unittest

from faults import NETWORK, SERVER_ERROR, assert_no_success, fetch_failed, no_digest
from ostrelle_testbed.bed import GREEN, RED, RESET, Bed, set_target, sign_in
from ostrelle_testbed.release_files import release_package, sha256, toolchain_package
from release_packages import url_path

LIST_FAILED = (RED + b'Download config file failed.\nCheck target directory input or check the '
               b'internet connection.' + RESET + b'\n')


TOOLCHAIN_LIST_FAILED = (RED + b'Checking toolchain_ver failed.\nCheck the internet connection '
                         b'or Troubleshoot in README' + RESET + b'\n')
TOOLCHAIN_LIST = 'kt5_le_toolchain_ver.txt'

# wget's own retries of a refused connection ("--retry-connrefused -t 5")
# wait 1 + 2 + 3 + 4 seconds; a fetch that takes much longer hangs.
FETCH_BOUND = 60


def command_1(bed, release, checksum, timeout=FETCH_BOUND):
    """Command "1" on LE answered with y, through the handler."""
    return bed.call('sdk_make_sys', input=b'y\n', target=bed.target, product='kt5', platform=2,
                    release=release, checksum=checksum, timeout=timeout)


def command_3(bed, release, timeout=FETCH_BOUND):
    return bed.call('sdk_le_toolchain', target=bed.target, product='kt5', platform=2,
                    release=release, timeout=timeout)


def after_list_fetch(output):
    return output.split(b'Checking current versions of release ...', 1)[1]


def package_path(bed, release):
    return os.path.join(bed.target, release + '.zip')


class ServerDown(unittest.TestCase):
    def test_refused_connections_fail_every_fetch_within_the_retries(self):
        with Bed() as bed:
            s = bed.spawn()
            sign_in(s)
            s.expect('Successful authentication.')
            bed.mirror.stop()
            set_target(s, bed.target)
            s.expect(') to continue with: ')
            started = time.monotonic()
            s.sendline('1')
            s.expect(LIST_FAILED, timeout=FETCH_BOUND)
            self.assertLess(time.monotonic() - started, FETCH_BOUND)
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            self.assertFalse(os.path.exists(
                os.path.join(bed.target, 'files', 'kt1_le_release_ver.txt')))
            assert_no_success(self, after_list_fetch(s.output))

            res = command_1(bed, 'r1', 'a' * 64)
            self.assertTrue(res.output.endswith(no_digest(NETWORK)), res.output)
            self.assertFalse(os.path.exists(package_path(bed, 'r1')))
            assert_no_success(self, res.output)

            res = command_3(bed, 'r1')
            self.assertEqual(res.status, 1)
            self.assertTrue(res.output.endswith(
                TOOLCHAIN_LIST_FAILED + fetch_failed(url_path('kt5', TOOLCHAIN_LIST), NETWORK)),
                res.output)


class NotFound(unittest.TestCase):
    def test_release_list_404_starts_the_shell_without_a_release(self):
        with Bed() as bed:
            bed.mirror.fail(bed.list_url_path('kt2', '_le_'))
            s = bed.spawn()
            sign_in(s)
            set_target(s, bed.target)
            s.expect(') to continue with: ')
            s.sendline('2')
            s.expect(LIST_FAILED + fetch_failed(bed.list_url_path('kt2', '_le_'), SERVER_ERROR))
            s.expect('> ')
            # Command 1 without a release: nothing to fetch, nothing done.
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect(b'Download resource failed. Try command 1 again.\n')
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            self.assertEqual(os.listdir(os.path.join(bed.target, 'files')), [])
            assert_no_success(self, after_list_fetch(s.output))

    def test_package_404_fails_and_a_partial_package_is_removed(self):
        with Bed() as bed:
            pkg = release_package('r1')
            bed.mirror.fail(url_path('kt5', 'r1.zip'))
            res = command_1(bed, 'r1', sha256(pkg))
            self.assertTrue(res.output.endswith(no_digest(SERVER_ERROR)), res.output)
            self.assertFalse(os.path.exists(package_path(bed, 'r1')))

            # A package left cut short by an earlier run is never taken as
            # complete: it is checked, cannot be continued, and goes.
            os.makedirs(bed.target, exist_ok=True)
            with open(package_path(bed, 'r1'), 'wb') as f:
                f.write(pkg[:len(pkg) // 2])
            res = command_1(bed, 'r1', sha256(pkg))
            self.assertIn(RED + b'Download image resources error, check your internet condition' +
                          RESET + b'\n' + fetch_failed(url_path('kt5', 'r1.zip'), SERVER_ERROR) +
                          b'Removing corrupted file\nDownload resource failed. Try command 1 '
                          b'again.\n', res.output)
            self.assertEqual(len(bed.tool_log('wget')), 1 + 3)
            self.assertFalse(os.path.exists(package_path(bed, 'r1')))
            self.assertFalse(os.path.exists(os.path.join(bed.target, 'r1')))
            assert_no_success(self, res.output)

    def test_toolchain_list_and_package_404(self):
        with Bed() as bed:
            bed.mirror.fail(url_path('kt5', TOOLCHAIN_LIST))
            res = command_3(bed, 'r1')
            self.assertEqual(res.status, 1)
            self.assertTrue(res.output.endswith(
                TOOLCHAIN_LIST_FAILED + fetch_failed(url_path('kt5', TOOLCHAIN_LIST),
                                                     SERVER_ERROR)), res.output)

            bed.mirror.clear(url_path('kt5', TOOLCHAIN_LIST))
            bed.put('kt5', TOOLCHAIN_LIST, 'r1 %s\n' % sha256(toolchain_package('r1')))
            bed.mirror.fail(url_path('kt5', 'r1-sdk.zip'))
            res = command_3(bed, 'r1')
            self.assertEqual(res.status, 1)
            self.assertTrue(res.output.endswith(
                b'sdk_le_toolchain: read checksum internal error\n' +
                fetch_failed(url_path('kt5', 'r1-sdk.zip'), SERVER_ERROR)), res.output)
            self.assertFalse(os.path.exists(
                os.path.join(bed.target, 'r1', 'sdk_toolchain', 'r1-sdk.zip')))
            assert_no_success(self, res.output)


class ConnectionClosed(unittest.TestCase):
    def test_a_broken_connection_is_continued_to_the_exact_package(self):
        with Bed() as bed:
            pkg = release_package('r1')
            bed.put('kt5', 'r1.zip', pkg)
            bed.mirror.cut(url_path('kt5', 'r1.zip'), 1000, times=1, close=True)
            res = command_1(bed, 'r1', sha256(pkg))
            self.assertIn(GREEN + b'Download LE resources ... Done' + RESET, res.output)
            with open(package_path(bed, 'r1'), 'rb') as f:
                self.assertEqual(f.read(), pkg)
            ranges = [r.range for r in bed.mirror.requests_for(url_path('kt5', 'r1.zip'), 'GET')]
            self.assertEqual(ranges, [None, 'bytes=1000-'])

    def test_a_connection_that_always_breaks_ends_in_the_error_and_no_package(self):
        with Bed() as bed:
            # wget retries a broken connection itself, five tries per fetch;
            # without its pauses between them the scenario stays short.
            with open(os.path.join(bed.tmp, 'wgetrc'), 'w') as f:
                f.write('waitretry = 0\n')
            pkg = release_package('r1')
            bed.put('kt5', 'r1.zip', pkg)
            bed.mirror.cut(url_path('kt5', 'r1.zip'), 1000, times=None, close=True)
            res = command_1(bed, 'r1', sha256(pkg), timeout=2 * FETCH_BOUND)
            self.assertTrue(res.output.endswith(
                RED + b'Download image resources error, check your internet condition' + RESET +
                b'\n' + fetch_failed(url_path('kt5', 'r1.zip'), NETWORK) +
                b'Removing corrupted file\nDownload resource failed. Try command 1 again.\n'),
                res.output)
            self.assertEqual(len(bed.tool_log('wget')), 4)
            self.assertFalse(os.path.exists(package_path(bed, 'r1')))
            assert_no_success(self, res.output)


if __name__ == '__main__':
    unittest.main()
