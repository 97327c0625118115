"""Faults of the host: wget, sha256sum or unzip missing from PATH, a target
directory that becomes unusable after set-up, and a full file system."""

import io
import os
import shutil
import unittest
import zipfile

from faults import (FILE_ERROR, NO_WGET, assert_no_success, call_in_env, fetch_failed, no_digest,
                    path_without, read_report, tmpfs_command, tmpfs_prefix)
from ostrelle_testbed.bed import RED, RESET, Bed, setup_to_shell, sign_in
from ostrelle_testbed.release_files import release_package, sha256, toolchain_package

PACKAGE_URL = '/uploads/web/ostrelle/kt5/sdk/r1.zip'


NOT_UNPACKED = (RED + b'Extracting files ...failed, check errors above' + RESET +
                b'\nDownload resource failed. Try command 1 again.\n')
TOOLCHAIN_NOT_UNPACKED = (RED + b'Extracting LE SDK toolchain failed, check errors above' +
                          RESET + b'\n')
PACKAGE_FAILED = (RED + b'Download image resources error, check your internet condition' +
                  RESET + b'\n' + fetch_failed(PACKAGE_URL, FILE_ERROR) +
                  b'Removing corrupted file\n')
TOOLCHAIN_LIST = 'kt5_le_toolchain_ver.txt'


def put_release(bed, release='r1'):
    """A release package and its toolchain on the mirror; the digests."""
    pkg = release_package(release)
    tc = toolchain_package(release)
    bed.put('kt5', release + '.zip', pkg)
    bed.put('kt5', release + '-sdk.zip', tc)
    bed.put('kt5', TOOLCHAIN_LIST, '%s %s\n' % (release, sha256(tc)))
    return sha256(pkg)


def commands_1_and_3(bed, env, checksum, prefix=()):
    """Command "1" (LE, answered y) and command "3" through their handlers."""
    globals_ = dict(target=bed.target, product='kt5', platform=2, release='r1')
    one = call_in_env(bed, 'sdk_make_sys', env, prefix=prefix, input=b'y\n', checksum=checksum,
                      **globals_)
    three = call_in_env(bed, 'sdk_le_toolchain', env, prefix=prefix, **globals_)
    return one, three


class MissingTools(unittest.TestCase):
    def test_without_wget_nothing_is_fetched_and_sign_in_fails(self):
        with Bed() as bed:
            checksum = put_release(bed)
            env = {'PATH': path_without(bed, 'wget')}
            (_, out1), (status3, out3) = commands_1_and_3(bed, env, checksum)
            self.assertTrue(out1.endswith(no_digest(NO_WGET)), out1)
            self.assertEqual(status3, 1)
            self.assertIn(b'Checking toolchain_ver failed.', out3)
            assert_no_success(self, out1 + out3)
            self.assertEqual(bed.mirror.requests, [])

            s = bed.spawn(env=env)
            for _ in range(3):
                sign_in(s)
                s.expect(RED + b'Account verification internal error.' + RESET + b'\n' +
                         fetch_failed('/ldap.php', NO_WGET))
            s.expect('exiting the manager')
            self.assertEqual(s.wait(), 255)

    def test_without_sha256sum_no_package_counts_as_verified(self):
        with Bed() as bed:
            checksum = put_release(bed)
            env = {'PATH': path_without(bed, 'sha256sum')}
            (_, out1), (status3, out3) = commands_1_and_3(bed, env, checksum)
            self.assertTrue(out1.endswith(no_digest()), out1)
            self.assertEqual(status3, 1)
            self.assertTrue(out3.endswith(b'sdk_le_toolchain: read checksum internal error\n'),
                            out3)
            assert_no_success(self, out1 + out3)
            # Downloaded but unverified: nothing is unpacked.
            self.assertFalse(os.path.exists(os.path.join(bed.target, 'r1', 'build-system.sh')))
            self.assertEqual(os.listdir(os.path.join(bed.target, 'r1', 'sdk_toolchain')),
                             ['r1-sdk.zip'])

    def test_without_unzip_nothing_is_reported_unpacked(self):
        with Bed() as bed:
            checksum = put_release(bed)
            env = {'PATH': path_without(bed, 'unzip')}
            (_, out1), (status3, out3) = commands_1_and_3(bed, env, checksum)
            self.assertTrue(out1.endswith(NOT_UNPACKED), out1)
            self.assertEqual(status3, 1)
            self.assertTrue(out3.endswith(TOOLCHAIN_NOT_UNPACKED), out3)
            assert_no_success(self, out1, allowed=(b'Download image resources complete',))
            assert_no_success(self, out3)


class UnusableTarget(unittest.TestCase):
    def test_target_replaced_by_a_file_after_set_up(self):
        with Bed() as bed:
            work = os.path.join(bed.tmp, 'work')
            bed.target = os.path.join(work, 'target')
            s = bed.spawn()
            setup_to_shell(bed, s, product='4', platform=('2', '1'))
            # Root is not stopped by permissions, and wget replaces a file
            # that stands where its directory should be; a file in place of
            # the directory above the target stops everyone.
            shutil.rmtree(work)
            with open(work, 'w') as f:
                f.write('not a directory\n')
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect(no_digest(FILE_ERROR, 'kt5le1.01.0'))
            s.expect('> ')
            s.sendline('3')
            s.expect(b'Checking toolchain_ver failed.')
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            after = s.output.split(b"Type 'help' for commands", 1)[1].split(b'> ', 1)[1]
            assert_no_success(self, after)
            with open(work) as f:
                self.assertEqual(f.read(), 'not a directory\n')


class FullFileSystem(unittest.TestCase):
    def setUp(self):
        self.prefix, reason = tmpfs_prefix()
        if self.prefix is None:
            self.skipTest(reason)

    def run_on_tmpfs(self, bed, size, checksum):
        os.makedirs(bed.target)
        report = os.path.join(bed.tmp, 'tmpfs-files.txt')
        prefix = tmpfs_command(self.prefix, size, bed.target, report)
        one = call_in_env(bed, 'sdk_dl_img_pkg', {}, prefix=prefix, target=bed.target,
                          product='kt5', platform=2, release='r1', checksum=checksum)
        self.assertNotEqual(one[0], 97, 'tmpfs mount failed: %r' % (one[1],))
        return one, read_report(report)

    def test_package_larger_than_the_free_space_is_removed(self):
        with Bed() as bed:
            pkg = release_package('r1') + os.urandom(256 * 1024)
            bed.put('kt5', 'r1.zip', pkg)
            (status, out), files = self.run_on_tmpfs(bed, 128 * 1024, sha256(pkg))
            self.assertEqual(status, 1)
            self.assertTrue(out.endswith(PACKAGE_FAILED), out)
            self.assertEqual(files, {})
            assert_no_success(self, out)

    def test_package_that_fits_but_does_not_unpack_is_not_reported_unpacked(self):
        with Bed() as bed:
            # Random content does not compress: unpacked it needs as much
            # room again as the package itself.
            buf = io.BytesIO(release_package('r1'))
            with zipfile.ZipFile(buf, 'a') as z:
                z.writestr('r1/payload.bin', os.urandom(384 * 1024))
            pkg = buf.getvalue()
            bed.put('kt5', 'r1.zip', pkg)
            (status, out), files = self.run_on_tmpfs(bed, 512 * 1024, sha256(pkg))
            self.assertEqual(status, 1)
            self.assertTrue(out.endswith(RED + b'Extracting files ...failed, check errors '
                                         b'above' + RESET + b'\n'), out)
            self.assertEqual(files['r1.zip'], len(pkg))
            assert_no_success(self, out, allowed=(b'Download image resources complete',))


if __name__ == '__main__':
    unittest.main()
