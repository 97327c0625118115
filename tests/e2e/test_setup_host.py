"""Banner and host packages: what runs through sudo, apt-get and dpkg."""

import unittest

from ostrelle_testbed.bed import GREEN, RED, RESET, YELLOW, Bed, sign_in
from ostrelle_testbed.world import HOST_PACKAGES

ALL = HOST_PACKAGES
RECHECK = [p for p in ALL if p not in ('android-tools-adb', 'udev')]
LINK = ['ln', '-s', '/usr/aarch64-linux-gnu/lib/ld-2.27.so', '/lib/ld-linux-aarch64.so.1']
RULE = b'*' * 66

BANNER = (YELLOW + RULE + RESET + b'\n'
          + YELLOW + b'Welcome to Ostrelle version 4.1.0' + RESET + b'\n'
          + YELLOW + b'This software is designed for resource download/management.\n'
          b'You can repack system image and flash image builds' + RESET + b'\n'
          + YELLOW + b'The full process of LU image generation takes at least 40 minutes, '
          b'depending on the internet speed' + RESET + b'\n'
          + YELLOW + b'You will need a valid Velmora user account to continue' + RESET + b'\n'
          + YELLOW + RULE + RESET + b'\n')


class HostPreparation(unittest.TestCase):
    def test_everything_installed(self):
        with Bed() as bed:
            s = bed.spawn()
            out = s.expect('Enter your Velmora user email: ')
            self.assertEqual(out, BANNER + b'\nSetting up host system environment ...\n'
                             b'Reading package lists... Done\n'
                             b'\n' + GREEN + b'Precondition Ubuntu packages installed' + RESET
                             + b'\n\nVelmora Account Checking ...\n'
                             b'Enter your Velmora user email: ')
            self.assertEqual(bed.tool_log('sudo'),
                             [['apt-get', 'update'], ['apt-get', 'install', 'python'], LINK])
            self.assertEqual(bed.tool_log('apt-get'), [['update'], ['install', 'python']])
            self.assertEqual(bed.tool_log('dpkg'), [['-l'] + ALL])
            s.eof()
            self.assertEqual(s.wait(), 1)

    def test_lacking_only_adb_and_udev_passes_the_recheck(self):
        with Bed() as bed:
            bed.set_installed(RECHECK)
            bed.set_unavailable(['android-tools-adb', 'udev'])
            s = bed.spawn()
            out = s.expect('Enter your Velmora user email: ')
            self.assertIn(b'\nMissing precondition Ubuntu packages, installing ...\n', out)
            self.assertNotIn(b'reinstalling', out)
            self.assertNotIn(b'Precondition Ubuntu packages installed', out)
            self.assertEqual(bed.tool_log('dpkg'), [['-l'] + ALL, ['-l'] + RECHECK])
            self.assertEqual(bed.tool_log('sudo'),
                             [['apt-get', 'update'], ['apt-get', 'install', 'python'],
                              ['apt-get', 'install'] + ALL, LINK])
            s.eof()
            s.wait()

    def test_install_that_provides_the_packages(self):
        with Bed() as bed:
            bed.set_installed(['wget', 'dpkg'])
            s = bed.spawn()
            sign_in(s)
            s.expect('Enter absolute target directory')
            self.assertEqual(len(bed.tool_log('dpkg')), 2)
            self.assertEqual(bed.tool_log('apt-get')[-1], ['install'] + ALL)
            s.eof()
            s.wait()

    def test_package_that_stays_missing_ends_after_three_attempts(self):
        with Bed() as bed:
            bed.set_installed([p for p in ALL if p != 'kmod'])
            bed.set_unavailable(['kmod'])
            s = bed.spawn()
            self.assertEqual(s.wait(), 255)
            again = b'Missing precondition Ubuntu packages, reinstalling ...\n\n'
            self.assertIn(b'E: Unable to locate package kmod\n' + again, s.output)
            self.assertEqual(s.output.count(again), 3)
            self.assertTrue(s.output.endswith(
                again + RED + b'Apt-get install precondition packages failed\n'
                b'Please check your internet condition and restart ostrelle' + RESET + b'\n'),
                s.output)
            self.assertEqual(bed.tool_log('dpkg'), [['-l'] + ALL] + [['-l'] + RECHECK] * 3)
            self.assertEqual(bed.tool_log('sudo'),
                             [['apt-get', 'update'], ['apt-get', 'install', 'python']]
                             + [['apt-get', 'install'] + ALL] * 3)
            self.assertNotIn(b'Velmora Account', s.output)

    def test_check_without_output_line_ends_with_status_1(self):
        with Bed() as bed:
            # The shell running the check dies before it can echo the status.
            bed.install_fake('dpkg', '#!/bin/sh\nkill -9 $PPID\n')
            s = bed.spawn()
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(b'read dpkg return value internal error\n'),
                            s.output)

    def test_recheck_without_output_line_ends_with_status_1(self):
        with Bed() as bed:
            bed.install_fake('dpkg', '#!/bin/sh\n'
                             'case "$2" in android-tools-adb) exit 1;; esac\nkill -9 $PPID\n')
            s = bed.spawn()
            self.assertEqual(s.wait(), 1)
            self.assertIn(b'\nMissing precondition Ubuntu packages, installing ...\n', s.output)
            self.assertTrue(s.output.endswith(b'read dpkg return value internal error\n'),
                            s.output)
            self.assertEqual(len(bed.tool_log('sudo')), 3)

    def test_loader_link_already_right_is_left_alone(self):
        with Bed() as bed:
            bed.install_fake('readlink', '#!/bin/sh\necho /usr/aarch64-linux-gnu/lib/ld-2.27.so\n')
            s = bed.spawn()
            s.expect('Enter your Velmora user email: ')
            self.assertEqual(bed.tool_log('sudo'),
                             [['apt-get', 'update'], ['apt-get', 'install', 'python']])
            s.eof()
            s.wait()


if __name__ == '__main__':
    unittest.main()
