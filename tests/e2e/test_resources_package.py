"""The release package: present, fetched, missing, corrupt, cut short."""

import os
import re
import unittest

from faults import SERVER_ERROR, fetch_failed
from ostrelle_testbed.bed import GREEN, RED, RESET, Bed
from ostrelle_testbed.release_files import release_package, sha256
from release_packages import package_fetch, url_path

COMPLETE = GREEN + b'Download image resources complete' + RESET + b'\n'
AGAIN = (b'\nDownloaded resource is different from the offical one\n'
         b'\nDownloading resources again ...\n')
FAILED = (RED + b'Download image resources error, check your internet condition' + RESET +
          b'\nRemoving corrupted file\n')


class ImagePackage(unittest.TestCase):
    def dl(self, bed, release, checksum):
        return bed.call('sdk_dl_img_pkg', target=bed.target, product='kt5', platform=2,
                        release=release, checksum=checksum)

    def test_present_and_right_is_not_fetched(self):
        with Bed() as bed:
            pkg = release_package('r1')
            os.makedirs(bed.target)
            with open(os.path.join(bed.target, 'r1.zip'), 'wb') as f:
                f.write(pkg)
            res = self.dl(bed, 'r1', sha256(pkg))
            self.assertEqual(res.status, 0, res.output)
            self.assertEqual(bed.tool_log('wget'), [])
            self.assertNotIn(b'Downloading', res.output)
            self.assertTrue(res.output.startswith(COMPLETE), res.output)
            # Into a pipe the unpack is one line; unzip's listing is not shown.
            unpacked = re.compile(rb'unzip: \d+ entries unpacked into %s/\n'
                                  % re.escape(bed.target.encode()))
            self.assertEqual(unpacked.search(res.output).start(), len(COMPLETE), res.output)
            self.assertNotIn(b'Archive:', res.output)
            self.assertTrue(res.output.endswith(b'Extracting files ...done\n'), res.output)
            self.assertTrue(os.path.isfile(os.path.join(bed.target, 'r1', 'build-system.sh')))
            self.assertTrue(os.path.isfile(os.path.join(bed.target, 'r1.zip')))

    def test_fresh_download(self):
        with Bed() as bed:
            pkg = release_package('r2')
            bed.put('kt5', 'r2.zip', pkg)
            res = self.dl(bed, 'r2', sha256(pkg))
            self.assertEqual(res.status, 0, res.output)
            self.assertTrue(res.output.startswith(b'\nDownloading resources ...\n'), res.output)
            self.assertIn(COMPLETE, res.output)
            self.assertNotIn(AGAIN, res.output)
            self.assertEqual(bed.tool_log('wget'), [package_fetch(bed, bed.target + '/', 'r2')])
            self.assertTrue(os.path.isdir(os.path.join(bed.target, 'r2', 'full_build', 'ufs')))

    def test_missing_on_server(self):
        with Bed() as bed:
            res = self.dl(bed, 'r3', 'a' * 64)
            self.assertEqual(res.status, 1)
            self.assertTrue(res.output.endswith(
                b'sdk_dl_img_pkg: read checksum internal error\n' +
                fetch_failed(url_path('kt5', 'r3.zip'), SERVER_ERROR)), res.output)
            self.assertEqual(len(bed.tool_log('wget')), 1)
            self.assertNotIn(b'Removing', res.output)
            self.assertFalse(os.path.exists(os.path.join(bed.target, 'r3.zip')))

    def test_complete_but_corrupt_is_fetched_three_times_then_deleted(self):
        with Bed() as bed:
            pkg = release_package('r4')
            bed.put('kt5', 'r4.zip', pkg)
            res = self.dl(bed, 'r4', sha256(pkg + b'x'))
            self.assertEqual(res.status, 1)
            self.assertEqual(res.output.count(AGAIN), 3)
            self.assertTrue(res.output.endswith(AGAIN + FAILED), res.output)
            self.assertEqual(bed.tool_log('wget'), [package_fetch(bed, bed.target + '/', 'r4')] * 4)
            # "-c" leaves the complete file as it is: the server is asked for
            # what follows it and has nothing.
            ranges = [r.range for r in bed.mirror.requests_for(url_path('kt5', 'r4.zip'), 'GET')]
            self.assertEqual(ranges, [None] + ['bytes=%d-' % len(pkg)] * 3)
            self.assertFalse(os.path.exists(os.path.join(bed.target, 'r4.zip')))
            self.assertFalse(os.path.exists(os.path.join(bed.target, 'r4')))

    def test_cut_short_is_completed_by_the_first_redownload(self):
        with Bed() as bed:
            pkg = release_package('r5')
            bed.put('kt5', 'r5.zip', pkg)
            bed.mirror.cut(url_path('kt5', 'r5.zip'), 700)
            res = self.dl(bed, 'r5', sha256(pkg))
            self.assertEqual(res.status, 0, res.output)
            self.assertEqual(res.output.count(AGAIN), 1)
            self.assertLess(res.output.index(AGAIN), res.output.index(COMPLETE))
            ranges = [r.range for r in bed.mirror.requests_for(url_path('kt5', 'r5.zip'), 'GET')]
            self.assertEqual(ranges, [None, 'bytes=700-'])
            with open(os.path.join(bed.target, 'r5.zip'), 'rb') as f:
                self.assertEqual(f.read(), pkg)
            self.assertTrue(res.output.endswith(b'Extracting files ...done\n'))

    def test_empty_checksum_never_agrees(self):
        with Bed() as bed:
            pkg = release_package('r6')
            bed.put('kt5', 'r6.zip', pkg)
            res = self.dl(bed, 'r6', '')
            self.assertEqual(res.status, 1)
            self.assertEqual(res.output.count(AGAIN), 3)
            self.assertTrue(res.output.endswith(FAILED), res.output)
            self.assertEqual(len(bed.tool_log('wget')), 4)
            self.assertFalse(os.path.exists(os.path.join(bed.target, 'r6.zip')))


if __name__ == '__main__':
    unittest.main()
