"""Command "3": the LE SDK toolchain list and package."""

import os
import unittest

from faults import SERVER_ERROR, fetch_failed
from ostrelle_testbed.bed import GREEN, RED, RESET, TESTBED_HTTPS, Bed
from ostrelle_testbed.mirror import resource_path
from ostrelle_testbed.release_files import sha256, toolchain_package
from release_packages import list_files, url_path, wget_args

HEAD = b'Downloading LE SDK toolchain ...\nChecking the resources ...\n'
LIST = 'kt5_le_toolchain_ver.txt'
AGAIN = (b'\nDownloaded toolchain is different from the offical one\n'
         b'\nDownloading toolchain again ...\n')
FAILED = (RED + b'Download toolchain error, check your internet condition' + RESET +
          b'\nRemoving corrupted file\n')
COMPLETE = GREEN + b'Download LE SDK toolchain complete' + RESET + b'\n'


class Toolchain(unittest.TestCase):
    def run_cmd(self, bed, release):
        return bed.call('sdk_le_toolchain', target=bed.target, product='kt5', platform=2,
                        release=release, checksum='c' * 64)

    def list_fetch(self, bed):
        return wget_args(bed) + ['-P', bed.target + '/files/', TESTBED_HTTPS + resource_path('kt5', LIST)]

    def package_fetch(self, bed, release):
        return wget_args(bed) + ['--show-progress', '-P', '%s/%s/sdk_toolchain' % (bed.target, release),
                       TESTBED_HTTPS + resource_path('kt5', release + '-sdk.zip')]

    def sdk_dir(self, bed, release):
        return os.path.join(bed.target, release, 'sdk_toolchain')

    def test_success_replaces_a_stale_list(self):
        with Bed() as bed:
            pkg = toolchain_package('r2')
            bed.put('kt5', 'r2-sdk.zip', pkg)
            bed.put('kt5', LIST, 'r3 %s\nr2   %s\n' % ('d' * 64, sha256(pkg)))
            os.makedirs(os.path.join(bed.target, 'files'))
            with open(os.path.join(bed.target, 'files', LIST), 'w') as f:
                f.write('r2 ' + 'e' * 64 + '\n')  # a stale copy, longer than nothing
            res = self.run_cmd(bed, 'r2')
            self.assertEqual(res.status, 0, res.output)
            self.assertEqual(bed.tool_log('wget'),
                             [self.list_fetch(bed), self.package_fetch(bed, 'r2')])
            self.assertEqual(bed.mirror.requests_for(url_path('kt5', LIST))[0].range, None)
            self.assertTrue(res.output.startswith(HEAD))
            self.assertIn(b'Extracting files ...\n', res.output)
            self.assertTrue(res.output.endswith(COMPLETE), res.output)
            self.assertEqual(list_files(self.sdk_dir(bed, 'r2')),
                             ['environment-setup-aarch64', 'r2-sdk.zip',
                              'sysroots/aarch64/usr/include/sdk.h'])

    def test_release_missing_from_the_list(self):
        with Bed() as bed:
            bed.put('kt5', LIST, 'r1 %s\nr22 %s\n' % ('a' * 64, 'b' * 64))
            res = self.run_cmd(bed, 'r2')
            self.assertEqual(res.status, 1)
            self.assertEqual(res.output, HEAD + RED + b"No LE SDK for this release 'r2', check "
                             b"with support team" + RESET + b'\n\n')
            self.assertEqual(bed.tool_log('wget'), [self.list_fetch(bed)])

    def test_two_lines_for_one_release_first_wins(self):
        with Bed() as bed:
            pkg = toolchain_package('r1')
            bed.put('kt5', 'r1-sdk.zip', pkg)
            bed.put('kt5', LIST, 'r1 %s\nr1 %s\n' % (sha256(pkg), 'f' * 64))
            res = self.run_cmd(bed, 'r1')
            self.assertEqual(res.status, 0, res.output)
            self.assertNotIn(AGAIN, res.output)

    def test_crlf_list_never_agrees(self):
        with Bed() as bed:
            pkg = toolchain_package('r1')
            bed.put('kt5', 'r1-sdk.zip', pkg)
            bed.put('kt5', LIST, 'r1 %s\r\n' % sha256(pkg))
            res = self.run_cmd(bed, 'r1')
            self.assertEqual(res.status, 1)
            self.assertEqual(res.output.count(AGAIN), 3)
            self.assertTrue(res.output.endswith(FAILED), res.output)
            self.assertEqual(bed.tool_log('wget')[1:], [self.package_fetch(bed, 'r1')] * 4)
            self.assertEqual(os.listdir(self.sdk_dir(bed, 'r1')), [])

    def test_empty_or_missing_list(self):
        with Bed() as bed:
            bed.put('kt5', LIST, b'')
            res = self.run_cmd(bed, 'r1')
            self.assertEqual(res.status, 1)
            self.assertEqual(res.output, HEAD + b'No released version found\n\n')
        with Bed() as bed:
            res = self.run_cmd(bed, 'r1')
            self.assertEqual(res.status, 1)
            self.assertEqual(res.output, HEAD + b'\n' + RED + b'Checking toolchain_ver failed.\n'
                             b'Check the internet connection or Troubleshoot in README' +
                             RESET + b'\n' + fetch_failed(url_path('kt5', LIST), SERVER_ERROR))

    def test_present_package_is_not_fetched(self):
        with Bed() as bed:
            pkg = toolchain_package('r1')
            bed.put('kt5', LIST, 'r1 %s\n' % sha256(pkg))
            os.makedirs(self.sdk_dir(bed, 'r1'))
            with open(os.path.join(self.sdk_dir(bed, 'r1'), 'r1-sdk.zip'), 'wb') as f:
                f.write(pkg)
            res = self.run_cmd(bed, 'r1')
            self.assertEqual(res.status, 0, res.output)
            self.assertEqual(bed.tool_log('wget'), [self.list_fetch(bed)])
            self.assertTrue(res.output.startswith(HEAD + b'Extracting files ...\n'), res.output)
            self.assertTrue(res.output.endswith(COMPLETE))
            self.assertIn('environment-setup-aarch64', os.listdir(self.sdk_dir(bed, 'r1')))

    def test_corrupt_package_is_fetched_three_times_then_deleted(self):
        with Bed() as bed:
            pkg = toolchain_package('r1')
            bed.put('kt5', 'r1-sdk.zip', pkg)
            bed.put('kt5', LIST, 'r1 %s\n' % sha256(b'another package'))
            res = self.run_cmd(bed, 'r1')
            self.assertEqual(res.status, 1)
            self.assertTrue(res.output.endswith(AGAIN + FAILED), res.output)
            ranges = [r.range for r in bed.mirror.requests_for(url_path('kt5', 'r1-sdk.zip'))]
            self.assertEqual(ranges, [None] + ['bytes=%d-' % len(pkg)] * 3)
            self.assertFalse(os.path.exists(os.path.join(self.sdk_dir(bed, 'r1'), 'r1-sdk.zip')))

    def test_hostile_release_name_runs_nothing(self):
        name = "r1';touch${IFS}pwned;'"
        with Bed() as bed:
            pkg = toolchain_package(name)
            bed.mirror.put_path(url_path('kt5', name + '-sdk.zip'), pkg)
            bed.put('kt5', LIST, '%s %s\n' % (name, sha256(pkg)))
            res = self.run_cmd(bed, name)
            self.assertEqual(res.status, 0, res.output)
            self.assertEqual(bed.tool_log('wget')[1], self.package_fetch(bed, name))
            self.assertIn('environment-setup-aarch64', os.listdir(self.sdk_dir(bed, name)))
            made = [n for where in (bed.tmp, bed.target) for n in os.listdir(where)
                    if 'pwned' in n and n != name]
            self.assertEqual(made, [])


if __name__ == '__main__':
    unittest.main()
