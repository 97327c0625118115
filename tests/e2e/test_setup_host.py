"""Banner and host packages: what runs through sudo, apt-get and dpkg on each
kind of host the test bed plays (Debian 12 unless a scenario says otherwise;
see tools/ostrelle_testbed/hosts.py)."""

import unittest

from ostrelle_testbed import hosts
from ostrelle_testbed.bed import GREEN, RED, RESET, TLS_VERIFY, YELLOW, Bed, sign_in
from ostrelle_testbed.world import HOST_PACKAGES

ALL = HOST_PACKAGES
RECHECK = [p for p in ALL if p not in ('adb', 'udev')]
RENAMED = ['android-tools-adb', 'adb', 'python', 'python3', 'python-is-python3']
PROMPT = 'Do you want to continue? [Y/n] '
RULE = b'*' * 66

BANNER = (YELLOW + RULE + RESET + b'\n'
          + YELLOW + b'Welcome to Ostrelle version 4.1.0' + RESET + b'\n'
          + YELLOW + b'This software is designed for resource download/management.\n'
          b'You can repack system image and flash image builds' + RESET + b'\n'
          + YELLOW + b'The full process of LU image generation takes at least 40 minutes, '
          b'depending on the internet speed' + RESET + b'\n'
          + YELLOW + b'You will need a valid Velmora user account to continue' + RESET + b'\n'
          + YELLOW + RULE + RESET + b'\n')
# A build that does not verify the servers says so before anything is sent.
if not TLS_VERIFY:
    BANNER += (YELLOW + b"This build does not verify the servers' certificates: the password "
               b"and the packages go to whichever server answers" + RESET + b'\n')


class HostPreparation(unittest.TestCase):
    def test_everything_installed(self):
        with Bed() as bed:
            s = bed.spawn()
            out = s.expect('Enter your Velmora user email: ')
            self.assertEqual(out, BANNER + b'\nSetting up host system environment ...\n'
                             b'\n' + GREEN + b'Precondition Ubuntu packages installed' + RESET
                             + b'\n\nVelmora Account Checking ...\n'
                             b'Enter your Velmora user email: ')
            # Nothing needs root, so nothing asks for a password.
            self.assertEqual(bed.tool_log('sudo'), [])
            self.assertEqual(bed.tool_log('apt-get'), [])
            self.assertEqual(bed.tool_log('apt-cache'), [['policy'] + RENAMED])
            self.assertEqual(bed.tool_log('dpkg'), [['-l'] + ALL])
            s.eof()
            self.assertEqual(s.wait(), 1)

    def test_each_host_kind_installs_its_names_and_links_its_loader(self):
        for kind, host in sorted(hosts.HOSTS.items()):
            with self.subTest(host=kind), Bed() as bed:
                bed.set_host(kind, installed=['wget', 'dpkg', 'coreutils'], cross=False,
                             link=False)
                s = bed.spawn()
                # apt-get asks on the terminal, as it does without the program.
                for _ in range(2):
                    s.expect(PROMPT)
                    s.sendline('y')
                s.expect('Enter your Velmora user email: ')
                python = [p for p in host.ready if p.startswith('python')]
                self.assertEqual(bed.tool_log('sudo'), [
                    ['apt-get', 'update'], ['apt-get', 'install'] + python,
                    ['apt-get', 'install'] + host.ready,
                    ['ln', '-s', hosts.cross_loader_path(kind), '/lib/ld-linux-aarch64.so.1']])
                self.assertEqual(bed.tool_log('dpkg')[0], ['-l'] + host.ready)
                s.eof()
                s.wait()

    def test_piped_answers_reach_the_program_not_apt(self):
        with Bed() as bed:
            bed.set_installed(['wget', 'dpkg'])
            s = bed.spawn(stdin='pipe')
            s.send('user@example.com\nsecret\n')
            s.expect('Successful authentication.')
            self.assertEqual(bed.tool_log('apt-get'), [
                ['update'], ['install', '-y', 'python3', 'python-is-python3'],
                ['install', '-y'] + ALL])
            self.assertEqual([r.body[:22] for r in bed.mirror.requests_for('/ldap.php')],
                             [b'mail=user@example.com&'])
            s.eof()
            s.wait()

    def test_lacking_only_adb_and_udev_passes_the_recheck(self):
        with Bed() as bed:
            bed.set_installed(RECHECK)
            bed.set_unavailable(['adb', 'udev'])
            s = bed.spawn()
            out = s.expect('Enter your Velmora user email: ')
            self.assertIn(b'\nMissing precondition Ubuntu packages, installing ...\n', out)
            # Nothing provides adb here: it is left out of the install.
            self.assertIn(b'No install candidate for android-tools-adb, nor for adb '
                          b'(apt-cache policy)\n', out)
            self.assertNotIn(b'reinstalling', out)
            self.assertNotIn(b'Precondition Ubuntu packages installed', out)
            self.assertEqual(bed.tool_log('dpkg'),
                             [['-l', 'android-tools-adb'] + ALL[1:], ['-l'] + RECHECK])
            self.assertEqual(bed.tool_log('sudo'),
                             [['apt-get', 'update'],
                              ['apt-get', 'install', 'python3', 'python-is-python3'],
                              ['apt-get', 'install'] + ALL[1:]])
            s.eof()
            s.wait()

    def test_install_that_provides_the_packages(self):
        with Bed() as bed:
            bed.set_installed(['wget', 'dpkg'])
            s = bed.spawn()
            for _ in range(2):
                s.expect(PROMPT)
                s.sendline('y')
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
                             [['apt-get', 'update'],
                              ['apt-get', 'install', 'python3', 'python-is-python3']]
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
                             'case "$2" in adb) exit 1;; esac\nkill -9 $PPID\n')
            s = bed.spawn()
            self.assertEqual(s.wait(), 1)
            self.assertIn(b'\nMissing precondition Ubuntu packages, installing ...\n', s.output)
            self.assertTrue(s.output.endswith(b'read dpkg return value internal error\n'),
                            s.output)
            self.assertEqual(len(bed.tool_log('sudo')), 3)

    def test_loader_link_already_right_is_left_alone(self):
        with Bed() as bed:
            # Ubuntu 18.04, ready, its link to ld-2.27.so in place.
            bed.set_host('ubuntu1804')
            s = bed.spawn()
            s.expect('Enter your Velmora user email: ')
            self.assertEqual(bed.tool_log('sudo'), [])
            self.assertEqual(bed.tool_log('dpkg'), [['-l'] + hosts.HOSTS['ubuntu1804'].ready])
            s.eof()
            s.wait()


if __name__ == '__main__':
    unittest.main()
