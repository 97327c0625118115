"""CDT flashing, a handler no command reaches, called directly: the UFS and
eMMC variants and the restart check 10 seconds after the write."""

import os
import unittest

from ostrelle_testbed.bed import GREEN, RED, RESET, YELLOW, Bed
from flashing import (DIGEST, device_found, RELEASE, board_in_download_mode, board_state, make_release, no_board,
                      sahara, sendxml, without_ls)

BANNER = (YELLOW + b'=' * 50 + RESET + b'\n' +
          YELLOW + b'Flash CDT to Vavevuro device' + RESET + b'\n' +
          YELLOW + b'The flash process will take about 5 minutes' + RESET + b'\n' +
          YELLOW + b'Current CDT version to be flashed: ' + RESET + RELEASE.encode() + b'\n' +
          YELLOW + b'=' * 50 + RESET + b'\n\n' +
          b"Enter 'y' to continue, 'q' to main menu: ")

NO_BOARD = (RED + b'Could not find a Qualcomm device in QDL mode\n'
            b'Please follow the README nad reconnect your device' + RESET + b'\n')



class CdtFlash(unittest.TestCase):
    def test_ufs_cdt_is_written_and_the_board_restarts(self):
        with Bed() as bed:
            rel = make_release(bed.target, cdt=True)
            board_in_download_mode(bed, node='/dev/ttyUSB1')
            result = bed.call('sdk_flash_cdt', input=b'y\n', target=bed.target,
                              release=RELEASE, checksum=DIGEST)
            self.assertEqual(result.status, 0)
            self.assertEqual(result.output,
                             BANNER + device_found('/dev/ttyUSB1') +
                             b'Ostrelle flashing CDT...\n'
                             b'Initializing flash...\n'
                             b'Flashing CDT ...\n'
                             b'fh_loader: 100%\n'
                             b'Waiting 10s for device to reboot ...\n' +
                             GREEN + b'Flashing cdt ... done' + RESET + b'\n')
            self.assertEqual(bed.tool_log('QSaharaServer'), [
                sahara('/dev/ttyUSB1', rel + '/cdt/prog_firehose_ddr.elf')])
            self.assertEqual(bed.tool_log('fh_loader'), [
                sendxml('/dev/ttyUSB1', 'rawprogram3_iot_qrd.xml,patch3.xml', rel + '/cdt/',
                        'UFS', rel + '/flash_cdt.log', reset=True)])
            self.assertTrue(os.path.isfile(os.path.join(rel, 'QSahara_cdt.log')))
            self.assertEqual(len(bed.tool_log('find')), 2)

    def test_emmc_cdt_on_a_board_that_stays_in_download_mode(self):
        with Bed() as bed:
            rel = make_release(bed.target, emmc=True, cdt=True)
            board_in_download_mode(bed, reset_leaves_download=False)
            result = bed.call('sdk_flash_cdt', input=b'y\n', target=bed.target,
                              release=RELEASE, checksum=DIGEST)
            self.assertEqual(bed.tool_log('fh_loader'), [
                sendxml('/dev/ttyUSB0', 'rawprogram2.xml,patch2.xml', rel + '/cdt/', 'eMMC',
                        rel + '/flash_cdt.log', reset=True)])
            self.assertTrue(result.output.endswith(
                b'Waiting 10s for device to reboot ...\n' +
                device_found('/dev/ttyUSB0') + RED +
                b'You may need to flash full build in order to boot up the device' + RESET +
                b'\n'), result.output)
            self.assertEqual(board_state(bed)['mode'], 'download')

    def test_missing_files_and_no_board_give_only_the_two_red_lines(self):
        with Bed() as bed:
            make_release(bed.target, ufs=True)
            no_board(bed)
            result = bed.call('sdk_flash_cdt', input=b'y\n', target=bed.target,
                              release=RELEASE, checksum=DIGEST)
            self.assertEqual(without_ls(result.output), BANNER + NO_BOARD)
            self.assertEqual(bed.tool_log('sudo'), [])

    def test_board_without_cdt_files(self):
        with Bed() as bed:
            rel = make_release(bed.target, ufs=True)
            board_in_download_mode(bed)
            result = bed.call('sdk_flash_cdt_ufs_helper', target=bed.target, release=RELEASE, checksum=DIGEST)
            self.assertEqual(without_ls(result.output),
                             device_found('/dev/ttyUSB0') + RED +
                             b'Could not find the cdt files, please check files in ' +
                             rel.encode() + b'/cdt' + RESET + b'\n')
            self.assertEqual(bed.tool_log('sudo'), [])


if __name__ == '__main__':
    unittest.main()
