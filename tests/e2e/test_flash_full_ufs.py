"""Command "2" on a UFS build: the whole sequence against the simulated board,
which boots and is listed at the first adb poll."""

import os
import unittest

from ostrelle_testbed.bed import GREEN, RESET, YELLOW, Bed
from flashing import (DIGEST, device_found, RELEASE, UFS_IMAGE_XMLS, board_in_download_mode, board_state, erase,
                      make_release, sahara, sendxml)

BANNER = (YELLOW + b'=' * 50 + RESET + b'\n' +
          YELLOW + b'Flash full build to Vavevuro device' + RESET + b'\n' +
          YELLOW + b'The flash process will take about 5 minutes' + RESET + b'\n' +
          YELLOW + b'Current image version to be flashed: ' + RESET + RELEASE.encode() + b'\n' +
          YELLOW + b'=' * 50 + RESET + b'\n\n' +
          b"Enter 'y' to continue, 'q' to main menu: ")

SUCCESS = (b'\n\n' + GREEN + b'=' * 72 + RESET + b'\n' +
           GREEN + b'Robotics device is ready to use.' + RESET + b'\n' +
           GREEN + b"Open another terminal and enter 'adb shell' to interact with your device." +
           RESET + b'\n' + GREEN + b'=' * 72 + RESET + b'\n\n')


class FullFlashUfs(unittest.TestCase):
    def test_every_step_reaches_the_board_and_it_boots(self):
        with Bed() as bed:
            # A blank in the target directory: every path reaches the tools
            # as one argument.
            target = os.path.join(bed.tmp, 'flash target') + '/'
            rel = make_release(target, ufs=True, cdt=True)
            board_in_download_mode(bed, node='/dev/ttyUSB0', boot_after_polls=1)

            result = bed.call('sdk_flash_full', input=b'y\n', target=target, release=RELEASE, checksum=DIGEST)
            self.assertEqual(result.status, 0)

            progress = b'fh_loader: 100%\n'
            steps = b''.join(m + b'\n' + progress for m in (
                b'Erasing part0 ...', b'Erasing part1 ...', b'Erasing part2 ...',
                b'Erasting part3 ...', b'Erasing part4 ...', b'Erasing part5 ...',
                b'Flashing full build ... '))
            self.assertEqual(result.output,
                             BANNER + device_found('/dev/ttyUSB0') +
                             b'Ostrelle flashing full build...\n'
                             b'Initializing flash ...\n' + steps + progress +
                             GREEN + b'Flashing image ... done' + RESET + b'\n'
                             b'Waiting for device to reboot ...\n' + SUCCESS)

            node = '/dev/ttyUSB0'
            self.assertEqual(bed.tool_log('QSaharaServer'), [
                sahara(node, rel + '/full_build/ufs/prog_firehose_ddr.elf')])
            expected = [erase(node, rel, part) for part in range(6)]
            expected.append(sendxml(node, 'rawprogram3_iot_qrd.xml,patch3.xml', rel + '/cdt/',
                                    'UFS', rel + '/flash_cdt_fullbuild.log'))
            expected.append(sendxml(node, UFS_IMAGE_XMLS, rel + '/full_build/ufs/', 'UFS',
                                    rel + '/flash_image.log', reset=True))
            self.assertEqual(bed.tool_log('fh_loader'), expected)
            # Both tools ran as root; nothing else did.
            self.assertEqual([args[0] for args in bed.tool_log('sudo')],
                             ['QSaharaServer'] + ['fh_loader'] * 8)
            self.assertEqual(bed.tool_log('adb'),
                             [['start-server'], ['devices', '-l'], ['kill-server']])
            self.assertEqual(board_state(bed)['mode'], 'booted')

            # The tools' logs landed in the release directory.
            with open(os.path.join(rel, 'QSahara_fullbuild.log')) as f:
                self.assertIn('Sahara protocol completed', f.read())
            for name in ['erase%d.log' % p for p in range(6)] + ['flash_cdt_fullbuild.log',
                                                                  'flash_image.log']:
                self.assertTrue(os.path.isfile(os.path.join(rel, name)), name)
            with open(os.path.join(rel, 'device_bootup.log')) as f:
                self.assertEqual(f.read(), 'List of devices attached\n'
                                           '7a3c11f0               device usb:1-2 product:kt5 '
                                           'model:KT5 device:kt5 transport_id:1\n\n')


if __name__ == '__main__':
    unittest.main()
