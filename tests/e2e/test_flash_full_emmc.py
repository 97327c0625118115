"""Command "2" on a release with both builds: the eMMC sequence runs, and the
board shows up under adb at the third poll."""

import unittest

from ostrelle_testbed.bed import GREEN, RESET, Bed
from flashing import (DIGEST, device_found, RELEASE, board_in_download_mode, board_state, erase, make_release,
                      sahara, sendxml)


class FullFlashEmmc(unittest.TestCase):
    def test_emmc_build_wins_and_the_wait_counts_polls(self):
        with Bed() as bed:
            rel = make_release(bed.target, ufs=True, emmc=True, cdt=True)
            node = '/dev/ttyUSB2'
            board_in_download_mode(bed, node=node, boot_after_polls=3)

            result = bed.call('sdk_flash_full', input=b'y\n', target=bed.target,
                              release=RELEASE, checksum=DIGEST)
            self.assertEqual(result.status, 0)

            self.assertEqual(bed.tool_log('QSaharaServer'), [
                sahara(node, rel + '/full_build/emmc/prog_firehose_ddr.elf')])
            self.assertEqual(bed.tool_log('fh_loader'), [
                erase(node, rel, 0, 'eMMC'),
                sendxml(node, 'rawprogram2.xml,patch2.xml', rel + '/cdt/', 'eMMC',
                        rel + '/flash_cdt_fullbuild.log'),
                sendxml(node, 'rawprogram_unsparse0.xml,patch0.xml', rel + '/full_build/emmc/',
                        'eMMC', rel + '/flash_image.log', reset=True),
            ])
            self.assertIn(device_found('/dev/ttyUSB2') +
                          b'Ostrelle flashing full build...\n'
                          b'Initializing flash ...\n'
                          b'Erasing part0 ...\nfh_loader: 100%\n'
                          b'Flashing full build ... \nfh_loader: 100%\nfh_loader: 100%\n' +
                          GREEN + b'Flashing image ... done' + RESET + b'\n'
                          b'Waiting for device to reboot ...\n'
                          b'Waiting for boot up, time elapsed: 10s\n'
                          b'Waiting for boot up, time elapsed: 20s\n'
                          b'\n\n' + GREEN + b'=' * 72 + RESET + b'\n' +
                          GREEN + b'Robotics device is ready to use.' + RESET + b'\n',
                          result.output)
            self.assertEqual(bed.tool_log('adb'),
                             [['start-server']] + [['devices', '-l']] * 3 + [['kill-server']])
            self.assertEqual(board_state(bed)['mode'], 'booted')


if __name__ == '__main__':
    unittest.main()
