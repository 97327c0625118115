"""Command "2" stopping before the storage is touched: refused answers, no
board, no build, and a programmer that does not load."""

import os
import unittest

from ostrelle_testbed.bed import RED, RESET, Bed
from flashing import (DIGEST, device_found, RELEASE, board_in_download_mode, board_state, make_release, no_board,
                      without_ls)



def after_prompt(output):
    return output.split(b"Enter 'y' to continue, 'q' to main menu: ", 1)[1]


class FullFlashStops(unittest.TestCase):
    def test_only_a_lower_case_y_flashes(self):
        for answer, said in ((b'Y\n', b'\nUnknown option, return to main menu\n\n'),
                             (b'yes\n', b'\nUnknown option, return to main menu\n\n'),
                             (b'q\n', b''),
                             (b'', b'\n input version internal error\n'
                                   b'\nUnknown option, return to main menu\n\n')):
            with self.subTest(answer=answer), Bed() as bed:
                make_release(bed.target, ufs=True, cdt=True)
                board_in_download_mode(bed)
                result = bed.call('sdk_flash_full', input=answer, target=bed.target,
                                  release=RELEASE, checksum=DIGEST)
                self.assertEqual(result.status, 0)
                self.assertEqual(after_prompt(result.output), said)
                for tool in ('find', 'sudo', 'QSaharaServer', 'fh_loader', 'adb'):
                    self.assertEqual(bed.tool_log(tool), [], tool)

    def test_no_board_and_no_build_give_only_the_two_red_lines(self):
        with Bed() as bed:
            no_board(bed)
            result = bed.call('sdk_flash_full', input=b'y\n', target=bed.target,
                              release=RELEASE, checksum=DIGEST)
            self.assertEqual(without_ls(after_prompt(result.output)),
                             RED + b'Could not find a Qualcomm device in QDL mode\n'
                             b'Please follow the README and reconnect your device' + RESET +
                             b'\n')
            self.assertEqual(bed.tool_log('sudo'), [])

    def test_board_without_build_names_the_build_directory(self):
        for emmc in (False, True):
            with self.subTest(emmc=emmc), Bed() as bed:
                # The eMMC directory alone selects eMMC, even when empty.
                rel = make_release(bed.target, cdt=True)
                if emmc:
                    os.makedirs(os.path.join(rel, 'full_build', 'emmc'))
                board_in_download_mode(bed)
                result = bed.call('sdk_flash_full', input=b'y\n', target=bed.target,
                                  release=RELEASE, checksum=DIGEST)
                storage = b'emmc' if emmc else b'ufs'
                self.assertEqual(without_ls(after_prompt(result.output)),
                                 device_found('/dev/ttyUSB0') + RED + b'Need to check ' +
                                 rel.encode() + b'/full_build/' + storage +
                                 b'/ or run command 1 to download/regenerate image' + RESET +
                                 b'\n')
                self.assertEqual(bed.tool_log('sudo'), [])
                self.assertEqual(board_state(bed)['mode'], 'download')

    def test_programmer_that_fails_or_gives_no_status_stops_the_flash(self):
        for sahara, message in (
                ('fail', b'Initializing flash process failed\n'
                         b'Please follow the README and reconnect your device to PC\n'),
                ('silent', b'get QSahara result internal error\n')):
            with self.subTest(sahara=sahara), Bed() as bed:
                make_release(bed.target, ufs=True, cdt=True)
                board_in_download_mode(bed, sahara=sahara)
                result = bed.call('sdk_flash_full', input=b'y\n', target=bed.target,
                                  release=RELEASE, checksum=DIGEST)
                self.assertEqual(result.status, 0)
                self.assertEqual(after_prompt(result.output),
                                 device_found('/dev/ttyUSB0') +
                                 b'Ostrelle flashing full build...\n'
                                 b'Initializing flash ...\n' + message)
                self.assertEqual(len(bed.tool_log('QSaharaServer')), 1)
                self.assertEqual(bed.tool_log('fh_loader'), [])
                self.assertEqual(board_state(bed)['mode'], 'download')

    def test_adapter_of_another_vendor_is_never_flashed(self):
        with Bed() as bed:
            make_release(bed.target, ufs=True, cdt=True)
            no_board(bed)
            result = bed.call('sdk_flash_full', input=b'y\n', target=bed.target,
                              release=RELEASE, checksum=DIGEST)
            self.assertNotIn(b'Device found', result.output)
            self.assertIn(b'Could not find a Qualcomm device in QDL mode', result.output)
            self.assertEqual(bed.tool_log('sudo'), [])
            self.assertEqual(len(bed.tool_log('udevadm')), 1)


if __name__ == '__main__':
    unittest.main()
