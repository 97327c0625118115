"""NON-HLOS flashing, a handler no command reaches, called directly: always
UFS, and the restart check 10 seconds after the write."""

import os
import unittest

from ostrelle_testbed.bed import GREEN, RED, RESET, YELLOW, Bed
from flashing import (DIGEST, device_found, NONHLOS_XMLS, RELEASE, board_in_download_mode, make_release,
                      no_board, sahara, sendxml, without_ls)

BANNER = (YELLOW + b'=' * 50 + RESET + b'\n' +
          YELLOW + b'Flash NON-HLOS build to Vavevuro device' + RESET + b'\n' +
          YELLOW + b'The flash process will take about 5 minutes' + RESET + b'\n' +
          YELLOW + b'Current image version to be flashed: ' + RESET + RELEASE.encode() + b'\n' +
          YELLOW + b'=' * 50 + RESET + b'\n\n' +
          b"Enter 'y' to continue, 'q' to main menu: ")

NO_BOARD = (RED + b'Could not find a Qualcomm device in QDL mode\n'
            b'Please follow the README nad reconnect your device' + RESET + b'\n')



class NonHlosFlash(unittest.TestCase):
    def test_nonhlos_build_is_written_to_ufs_beside_an_emmc_build(self):
        with Bed() as bed:
            rel = make_release(bed.target, emmc=True, nonhlos=True)
            board_in_download_mode(bed)
            result = bed.call('sdk_flash_nonhlos', input=b'y\n', target=bed.target,
                              release=RELEASE, checksum=DIGEST)
            self.assertEqual(result.status, 0)
            self.assertEqual(result.output,
                             BANNER + device_found('/dev/ttyUSB0') +
                             b'Ostrelle flashing NON-HLOS build...\n'
                             b'Initializing flash...\n'
                             b'Flashing NON-HLOS build...\n'
                             b'fh_loader: 100%\n'
                             b'Waiting 10s for device to reboot ...\n' +
                             GREEN + b'Flashing NON-HLOS ... done' + RESET + b'\n')
            self.assertEqual(bed.tool_log('QSaharaServer'), [
                sahara('/dev/ttyUSB0', rel + '/non_hlos/ufs/prog_firehose_ddr.elf')])
            self.assertEqual(bed.tool_log('fh_loader'), [
                sendxml('/dev/ttyUSB0', NONHLOS_XMLS, rel + '/non_hlos/ufs/', 'UFS',
                        rel + '/flash_nonhlos.log', reset=True)])
            self.assertTrue(os.path.isfile(os.path.join(rel, 'QSahara_nonhlos.log')))

    def test_board_still_in_download_mode_after_the_wait(self):
        with Bed() as bed:
            make_release(bed.target, nonhlos=True)
            board_in_download_mode(bed, reset_leaves_download=False)
            result = bed.call('sdk_flash_nonhlos_helper', target=bed.target, release=RELEASE, checksum=DIGEST)
            self.assertTrue(result.output.endswith(
                b'Waiting 10s for device to reboot ...\n' +
                device_found('/dev/ttyUSB0') + RED +
                b'You may need to flash HLOS image in order to boot up the device' + RESET +
                b'\n'), result.output)

    def test_no_board_gives_only_the_two_red_lines_with_or_without_files(self):
        for files in (False, True):
            with self.subTest(files=files), Bed() as bed:
                make_release(bed.target, nonhlos=files)
                no_board(bed)
                result = bed.call('sdk_flash_nonhlos', input=b'y\n', target=bed.target,
                                  release=RELEASE, checksum=DIGEST)
                self.assertEqual(without_ls(result.output), BANNER + NO_BOARD)
                self.assertEqual(bed.tool_log('sudo'), [])

    def test_emmc_release_without_nonhlos_files_stops_after_the_board_check(self):
        with Bed() as bed:
            rel = make_release(bed.target, emmc=True)
            board_in_download_mode(bed)
            result = bed.call('sdk_flash_nonhlos', input=b'y\n', target=bed.target,
                              release=RELEASE, checksum=DIGEST)
            self.assertEqual(without_ls(result.output),
                             BANNER + device_found('/dev/ttyUSB0') + RED +
                             b'Could not find the NON-HLOS files, please check files in ' +
                             rel.encode() + b'/non_hlos' + RESET + b'\n')
            self.assertEqual(bed.tool_log('sudo'), [])


if __name__ == '__main__':
    unittest.main()
