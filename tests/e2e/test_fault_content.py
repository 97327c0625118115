"""Faulty content from the resource server: a release list of binary
garbage or of one line of almost 1 MiB, and packages that are not zip
archives but carry the digest the list gives for them."""

import os
import random
import unittest

from faults import assert_no_success
from ostrelle_testbed.bed import GREEN, RED, RESET, Bed, set_target, sign_in
from ostrelle_testbed.release_files import sha256
from release_packages import url_path

NOT_UNPACKED = RED + b'Extracting files ...failed, check errors above' + RESET + b'\n'
TOOLCHAIN_NOT_UNPACKED = (RED + b'Extracting LE SDK toolchain failed, check errors above' +
                          RESET + b'\n')
COMPLETE = GREEN + b'Download image resources complete' + RESET + b'\n'


def garbage(size, seed):
    return random.Random(seed).randbytes(size)


def to_release_prompt(bed, s, product='1'):
    sign_in(s)
    set_target(s, bed.target)
    s.expect(') to continue with: ')
    s.sendline(product)


class ReleaseList(unittest.TestCase):
    def test_binary_garbage_is_offered_as_it_reads_and_fails_cleanly_later(self):
        with Bed() as bed:
            # Without "/" and control bytes (C0, DEL, C1) other than the line
            # feeds: a name holding one is refused as a file name.
            data = bytes(b if (b >= 0x20 and not 0x7f <= b <= 0x9f) or b == 0x0a else 0x78
                         for b in garbage(8192, 9)).replace(b'/', b'x')
            bed.put_list('kt1', '_le_', data)
            s = bed.spawn()
            to_release_prompt(bed, s)
            s.expect('Available versions: \n')
            s.expect(') to continue with: ')
            s.sendline('1')
            s.expect(b'Selected version: ')
            s.expect("Type 'help' for commands")
            s.expect('> ')
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect(b'Download resource failed. Try command 1 again.\n')
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            # One entry per line feed of the file, each numbered.
            listing = s.output.split(b'Available versions: \n', 1)[1]
            self.assertIn(b'\n%d: ' % data.count(b'\n'), listing)
            self.assertNotIn(b'\n%d: ' % (data.count(b'\n') + 1), listing)
            self.assertNotIn(b'Extracting files ...done', s.output)

    def test_a_single_line_of_almost_1_mib(self):
        with Bed() as bed:
            # Within the 1 MiB that a list may have, line feed included.
            bed.put_list('kt1', '_le_', [b'N' * ((1 << 19) - 1) + b' ' + b'd' * ((1 << 19) - 1)])
            s = bed.spawn()
            to_release_prompt(bed, s)
            s.expect(b'1: ' + b'N' * 63 + b' (latest version)\n')
            s.expect(b'Select one number of available version ( 1 ) to continue with: ')
            s.sendline('1')
            s.expect(b'Selected version: ' + b'N' * 63 + b'\n')
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)

    def test_a_single_1_mib_line_without_line_feed_lists_nothing(self):
        with Bed() as bed:
            bed.put_list('kt1', '_le_', b'N' * (1 << 20))
            s = bed.spawn()
            to_release_prompt(bed, s)
            s.expect(b'No released version found\n\nExit ostrelle now ...\n')
            self.assertEqual(s.wait(), 1)


class NotAZip(unittest.TestCase):
    def test_release_package_that_is_not_a_zip_is_not_reported_unpacked(self):
        with Bed() as bed:
            pkg = garbage(4096, 1)
            bed.put('kt5', 'r1.zip', pkg)
            res = bed.call('sdk_dl_img_pkg', target=bed.target, product='kt5', platform=2,
                           release='r1', checksum=sha256(pkg))
            self.assertEqual(res.status, 1)
            self.assertIn(COMPLETE, res.output)
            self.assertTrue(res.output.endswith(NOT_UNPACKED), res.output)
            assert_no_success(self, res.output, allowed=(b'Download image resources complete',))
            # The package is the official one and stays; the next command
            # "1" checks and unpacks it again.
            self.assertTrue(os.path.isfile(os.path.join(bed.target, 'r1.zip')))

            res = bed.call('sdk_make_sys', input=b'y\n', target=bed.target, product='kt5',
                           platform=2, release='r1', checksum=sha256(pkg))
            self.assertTrue(res.output.endswith(NOT_UNPACKED + b'Download resource failed. '
                                                b'Try command 1 again.\n'), res.output)
            # Fetched once, by the first command only.
            self.assertEqual(len(bed.mirror.requests_for(url_path('kt5', 'r1.zip'))), 1)

    def test_toolchain_package_that_is_not_a_zip(self):
        with Bed() as bed:
            pkg = garbage(4096, 2)
            bed.put('kt5', 'r1-sdk.zip', pkg)
            bed.put('kt5', 'kt5_le_toolchain_ver.txt', 'r1 %s\n' % sha256(pkg))
            res = bed.call('sdk_le_toolchain', target=bed.target, product='kt5', platform=2,
                           release='r1')
            self.assertEqual(res.status, 1)
            self.assertTrue(res.output.endswith(TOOLCHAIN_NOT_UNPACKED), res.output)
            assert_no_success(self, res.output)
            self.assertEqual(os.listdir(os.path.join(bed.target, 'r1', 'sdk_toolchain')),
                             ['r1-sdk.zip'])


if __name__ == '__main__':
    unittest.main()
