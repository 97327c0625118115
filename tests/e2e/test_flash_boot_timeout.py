"""Command "2" with a board that never shows up under adb: the whole boot
wait, nine polls and the red lines. Its 104 seconds of pauses run scaled
like every scenario's (a couple of seconds)."""

import unittest

from ostrelle_testbed.bed import GREEN, RED, RESET, Bed
from flashing import DIGEST, RELEASE, board_in_download_mode, board_state, make_release


class BootTimeout(unittest.TestCase):
    def test_board_that_never_boots_ends_in_the_red_lines(self):
        with Bed() as bed:
            make_release(bed.target, ufs=True, cdt=True)
            board_in_download_mode(bed, boot_after_polls=None)

            result = bed.call('sdk_flash_full', input=b'y\n', target=bed.target,
                              release=RELEASE, checksum=DIGEST)
            self.assertEqual(result.status, 0)
            waits = b''.join(b'Waiting for boot up, time elapsed: %ds\n' % s
                             for s in range(10, 100, 10))
            self.assertTrue(result.output.endswith(
                GREEN + b'Flashing image ... done' + RESET + b'\n'
                b'Waiting for device to reboot ...\n' + waits +
                b'\n' + RED + b'There is something wrong happened in Boot up process' + RESET +
                b'\n' + RED +
                b'Please restart your device manually or check out Troubleshoot in README' +
                RESET + b'\n'), result.output)
            self.assertEqual(bed.tool_log('adb'),
                             [['start-server']] + [['devices', '-l']] * 9 + [['kill-server']])
            self.assertEqual(board_state(bed)['mode'], 'booting')


if __name__ == '__main__':
    unittest.main()
