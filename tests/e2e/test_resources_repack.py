"""Command "1": the confirmation, LE download, and the LU repack of the system
image with the release's build and sparse scripts."""

import os
import unittest

from ostrelle_testbed.bed import GREEN, RED, RESET, YELLOW, Bed
from ostrelle_testbed.release_files import FAILING_BUILD_SCRIPT, release_package, sha256
from release_packages import list_files, url_path

LU_BANNER = (YELLOW + b'===================================================' + RESET + b'\n' +
             YELLOW + b'Generate system image to complete full build' + RESET + b'\n' +
             YELLOW + b'The image repack process will take about 40 minutes' + RESET + b'\n' +
             YELLOW + b'Current image version to be generated: ' + RESET + b'%s\n' +
             YELLOW + b'===================================================' + RESET + b'\n\n' +
             b"Enter 'y' to continue, 'q' to main menu: ")
SUCCEED = GREEN + b'system image repack succeed' + RESET + b'\n'
MOVED = (b'\n' + GREEN + b'Move sparse images to full_build ...done' + RESET + b'\n' + GREEN +
         b'You may proceed to flash full_build to your device' + RESET + b'\n')


class Repack(unittest.TestCase):
    def make_sys(self, bed, release, pkg, answers=b'y\n', platform=1, helper=False):
        if pkg is not None:
            bed.put('kt5', release + '.zip', pkg)
        name = 'sdk_make_sys_helper' if helper else 'sdk_make_sys'
        return bed.call(name, input=answers, target=bed.target, product='kt5',
                        platform=platform, release=release,
                        checksum=sha256(pkg) if pkg is not None else 'a' * 64)

    def release_dir(self, bed, release, *rest):
        return os.path.join(bed.target, release, *rest)

    def test_q_prints_nothing_and_capital_y_is_unknown(self):
        with Bed() as bed:
            res = self.make_sys(bed, 'r1', None, answers=b'q\n')
            self.assertEqual(res.status, 0)
            self.assertEqual(res.output, LU_BANNER % b'r1')
            res = self.make_sys(bed, 'r1', None, answers=b'Y\n')
            self.assertEqual(res.status, 0)
            self.assertEqual(res.output,
                             LU_BANNER % b'r1' + b'\nUnknown option, return to main menu\n')
            self.assertEqual(bed.tool_log('wget'), [])
            self.assertEqual(bed.mirror.requests, [])

    def test_le_is_done_after_the_package(self):
        with Bed() as bed:
            res = self.make_sys(bed, 'le1', release_package('le1'), platform=2)
            self.assertEqual(res.status, 0, res.output)
            self.assertIn(YELLOW + b'Download LE resources including full build, cdt and '
                          b'non-hlos' + RESET, res.output)
            self.assertTrue(res.output.endswith(
                b'Extracting files ...done\n' + GREEN + b'Download LE resources ... Done' +
                RESET + b'\n'), res.output)
            self.assertEqual(bed.tool_log('sudo'), [])
            self.assertFalse(os.path.exists(self.release_dir(bed, 'le1', 'utils', 'files',
                                                             'local_deb_checksum')))

    def test_lu_full_repack(self):
        with Bed() as bed:
            res = self.make_sys(bed, 'lu1', release_package('lu1'))
            self.assertEqual(res.status, 0, res.output)
            d = self.release_dir(bed, 'lu1')
            self.assertEqual(bed.tool_log('sudo'), [['sh', d + '/build-system.sh']])
            out = res.output
            for part in (YELLOW + b'Start to make system image ...' + RESET + b'\n',
                         b'Checking resources...\n', b'build finished\n',
                         b'\n\nChecking system.img ...\n' + SUCCEED,
                         ('Creating %s/imgparser/sparse_image/ to store ext4 files\n' % d).encode(),
                         b'\nStart to sparse system image, setting up ...\n',
                         b'sparse images: system_1.img system_2.img\n',
                         b'Moving sparse images to full_build ...\n'):
                self.assertIn(part, out)
            self.assertTrue(out.endswith(MOVED), out)
            self.assertNotIn(b'WARNING', out)
            ufs = os.path.join(d, 'full_build', 'ufs')
            self.assertEqual(list_files(ufs), ['prog_firehose_ddr.elf', 'rawprogram0.xml',
                                               'rawprogram_unsparse0.xml', 'system_1.img',
                                               'system_2.img'])
            with open(os.path.join(ufs, 'rawprogram_unsparse0.xml')) as f:
                self.assertIn('<program filename="system_2.img"/>', f.read())
            self.assertEqual(os.listdir(os.path.join(d, 'imgparser', 'sparse_image')), [])
            with open(os.path.join(d, 'repack.log')) as f:
                self.assertIn('build finished', f.read())
            with open(os.path.join(d, 'sparse.log')) as f:
                self.assertIn('sparse images:', f.read())
            with open(os.path.join(d, 'utils', 'files', 'local_deb_checksum')) as f:
                self.assertEqual(len(f.readlines()), 2)
            # The eMMC full build stays as the package brought it.
            self.assertEqual(list_files(os.path.join(d, 'full_build', 'emmc')),
                             ['prog_firehose_ddr.elf', 'rawprogram0.xml'])

    def test_extra_package_refused_with_n(self):
        with Bed() as bed:
            res = self.make_sys(bed, 'lu2', release_package('lu2', extra_debs=['mine.deb']),
                                answers=b'y\nn\n')
            self.assertEqual(res.status, 0)
            d = ('%s/lu2' % bed.target).encode()
            self.assertIn(RED + b'WARNING! Non-offical debian packages or files detected in ' +
                          d + b'/packages/deb-files/\nYou may lose your warranty if you continue'
                          b'\nPlease confirm these files are what you need' + RESET + b'\n' +
                          RED + b'Not in the official list: mine.deb' + RESET +
                          b'\nDo you still want to repack? [Y/n] ', res.output)
            self.assertTrue(res.output.endswith(
                b'\nRemove your own file or all files in ' + d +
                b'/packages/deb-files/ before you resume step 1\n'), res.output)
            self.assertEqual(bed.tool_log('sudo'), [])
            with open(os.path.join(bed.target, 'lu2', 'utils', 'files',
                                   'local_deb_checksum')) as f:
                self.assertEqual(len(f.readlines()), 3)

    def test_extra_package_accepted_with_capital_y(self):
        with Bed() as bed:
            res = self.make_sys(bed, 'lu3', release_package('lu3', extra_debs=['mine.deb']),
                                answers=b'y\nY\n')
            self.assertEqual(res.status, 0)
            self.assertIn(b'[Y/n] \nContinue to repack image ...\nChecking resources...\n',
                          res.output)
            self.assertTrue(res.output.endswith(MOVED), res.output)
            self.assertEqual(len(bed.tool_log('sudo')), 1)

    def test_no_build_script(self):
        with Bed() as bed:
            res = self.make_sys(bed, 'lu4', release_package('lu4', build_script=None),
                                helper=True)
            self.assertEqual(res.status, 1)
            self.assertTrue(res.output.endswith(
                RED + ('Need to check %s/lu4 to see if the resource is downloaded or run '
                       'command 1' % bed.target).encode() + RESET + b'\n'), res.output)
            self.assertEqual(bed.tool_log('sudo'), [])

    def test_build_without_ext4(self):
        with Bed() as bed:
            res = self.make_sys(bed, 'lu5', release_package('lu5',
                                                            build_script=FAILING_BUILD_SCRIPT),
                                helper=True)
            # A failed build is a failed command "1", whatever the handler shows.
            self.assertEqual(res.status, 1)
            self.assertIn(b'build failed: missing dependencies\n', res.output)
            # ls reports the missing image on its own between the two lines.
            self.assertIn(b'\n\nChecking system.img ...\n', res.output)
            self.assertTrue(res.output.endswith(
                b'\n' + RED + b'system image repack failed, check errors above' + RESET +
                b'\n'), res.output)
            d = self.release_dir(bed, 'lu5')
            self.assertFalse(os.path.exists(os.path.join(d, 'imgparser', 'sparse_image')))
            self.assertFalse(os.path.exists(os.path.join(d, 'sparse.log')))

    def test_sparse_directory_present_and_empty(self):
        with Bed() as bed:
            res = self.make_sys(bed, 'lu6', release_package('lu6', sparse_dir=True))
            self.assertEqual(res.status, 0)
            self.assertIn(SUCCEED + b'\nStart to sparse system image', res.output)
            self.assertNotIn(b'Creating', res.output)
            self.assertTrue(res.output.endswith(MOVED), res.output)

    def test_second_repack_removes_old_ext4_files(self):
        with Bed() as bed:
            pkg = release_package('lu7')
            self.assertTrue(self.make_sys(bed, 'lu7', pkg).output.endswith(MOVED))
            ufs = self.release_dir(bed, 'lu7', 'full_build', 'ufs')
            with open(os.path.join(ufs, 'old.ext4'), 'w') as f:
                f.write('left from an earlier build\n')
            with open(os.path.join(ufs, 'system_1.img'), 'w') as f:
                f.write('stale\n')
            res = self.make_sys(bed, 'lu7', pkg)
            self.assertTrue(res.output.endswith(MOVED), res.output)
            self.assertNotIn(b'Creating', res.output)
            self.assertEqual(list_files(ufs), ['prog_firehose_ddr.elf', 'rawprogram0.xml',
                                               'rawprogram_unsparse0.xml', 'system_1.img',
                                               'system_2.img'])
            with open(self.release_dir(bed, 'lu7', 'rootfs', 'system.ext4'), 'rb') as f:
                image = f.read()
            with open(os.path.join(ufs, 'system_1.img'), 'rb') as f:
                self.assertEqual(f.read(), image[:len(image) // 2])
            # The package was present and right: fetched once over both runs.
            self.assertEqual(len(bed.tool_log('wget')), 1)

    def test_hostile_release_name_runs_nothing(self):
        for name in ("r1;touch pwned", "r1';touch${IFS}pwned;'"):
            with self.subTest(name=name), Bed() as bed:
                pkg = release_package(name)
                bed.mirror.put_path(url_path('kt5', name + '.zip'), pkg)
                res = bed.call('sdk_make_sys', input=b'y\n', target=bed.target, product='kt5',
                               platform=1, release=name, checksum=sha256(pkg))
                self.assertEqual(res.status, 0)
                self.assertTrue(res.output.endswith(MOVED), res.output)
                d = os.path.join(bed.target, name)
                self.assertEqual(bed.tool_log('sudo'), [['sh', d + '/build-system.sh']])
                self.assertEqual(bed.tool_log('wget')[0][-1],
                                 'https://127.0.0.1:8443/uploads/web/ostrelle/kt5/sdk/' + name +
                                 '.zip')
                self.assertIn('system_1.img', os.listdir(os.path.join(d, 'full_build', 'ufs')))
                # Only the release's own directory and package bear the name.
                made = [n for where in (bed.tmp, bed.target, d) for n in os.listdir(where)
                        if 'pwned' in n and n not in (name, name + '.zip')]
                self.assertEqual(made, [])


if __name__ == '__main__':
    unittest.main()
