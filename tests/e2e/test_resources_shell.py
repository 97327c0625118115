"""Commands "1" and "3" typed at the real program's shell."""

import os
import unittest

from ostrelle_testbed.bed import GREEN, RESET, Bed, setup_to_shell
from ostrelle_testbed.release_files import release_package, sha256, toolchain_package
from release_packages import list_files


class ShellCommands(unittest.TestCase):
    def test_le_resources_then_toolchain(self):
        with Bed() as bed:
            pkg = release_package('kt1-le-2.0')
            sdk = toolchain_package('kt1-le-2.0')
            bed.put('kt1', 'kt1-le-2.0.zip', pkg)
            bed.put('kt1', 'kt1-le-2.0-sdk.zip', sdk)
            bed.put_list('kt1', '_le_', ['kt1-le-2.0 ' + sha256(pkg)])
            bed.put('kt1', 'kt1_le_toolchain_ver.txt', 'kt1-le-2.0 %s\n' % sha256(sdk))
            s = bed.spawn()
            setup_to_shell(bed, s, product='1')
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect(GREEN + b'Download LE resources ... Done' + RESET + b'\n')
            s.expect('> ')
            s.sendline('3')
            s.expect(GREEN + b'Download LE SDK toolchain complete' + RESET + b'\n')
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            release = os.path.join(bed.target, 'kt1-le-2.0')
            self.assertTrue(os.path.isfile(os.path.join(release, 'cdt', 'cdt.bin')))
            self.assertIn('environment-setup-aarch64',
                          os.listdir(os.path.join(release, 'sdk_toolchain')))

    def test_lu_repack_with_extra_package_confirmed(self):
        with Bed() as bed:
            pkg = release_package('kt6-lu-1.1', extra_debs=['mine.deb'])
            bed.put('kt6', 'kt6-lu-1.1.zip', pkg)
            bed.put_list('kt6', '_lu_', ['kt6-lu-1.1 ' + sha256(pkg)])
            # The audit's diff waits until the test has typed ahead.
            go = os.path.join(bed.state, 'diff-go')
            bed.install_fake('diff', '#!/bin/sh\nn=0\nwhile [ ! -e %s ] && [ $n -lt 600 ]; '
                             'do sleep 0.05; n=$((n+1)); done\nexec /usr/bin/diff "$@"\n' % go)
            s = bed.spawn()
            setup_to_shell(bed, s, product='6')
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect('Start to make system image ...', timeout=60)
            # Keys typed during the work never answer the question.
            s.send('n\n')
            open(go, 'w').close()
            s.expect('Do you still want to repack? [Y/n] ', timeout=60)
            s.sendline('')  # Enter takes the offered "Y"
            s.expect('\nContinue to repack image ...\n')
            s.expect(b'You may proceed to flash full_build to your device', timeout=60)
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            ufs = os.path.join(bed.target, 'kt6-lu-1.1', 'full_build', 'ufs')
            self.assertIn('rawprogram_unsparse0.xml', list_files(ufs))
            self.assertIn('system_1.img', list_files(ufs))


if __name__ == '__main__':
    unittest.main()
