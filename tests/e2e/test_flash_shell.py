"""Command "2" typed at the program's own shell after the set-up dialogue:
the confirmation is read on the terminal in prompt mode, the board is
flashed, and the shell takes the next command afterwards."""

import unittest

from ostrelle_testbed.bed import GREEN, RESET, Bed, default_release, setup_to_shell
from flashing import board_in_download_mode, device_found, board_state, make_release


class FlashFromShell(unittest.TestCase):
    def test_command_2_flashes_and_returns_to_the_prompt(self):
        with Bed() as bed:
            session = bed.spawn()
            setup_to_shell(bed, session, product='1')
            release, _, digest = default_release('kt1', '_le_')
            rel = make_release(bed.target, release=release, ufs=True, cdt=True, digest=digest)
            board_in_download_mode(bed)

            session.sendline('2')
            session.expect(b'Current image version to be flashed: ' + RESET + release.encode())
            session.expect("Enter 'y' to continue, 'q' to main menu: ")
            session.sendline('y')
            session.expect(device_found('/dev/ttyUSB0'))
            session.expect(GREEN + b'Flashing image ... done' + RESET, timeout=60)
            session.expect('Robotics device is ready to use.', timeout=60)
            session.expect('> ')
            self.assertEqual(len(bed.tool_log('fh_loader')), 8)
            self.assertEqual(bed.tool_log('fh_loader')[-1][-2:],
                             ['--porttracename=%s/flash_image.log' % rel, '--reset'])
            self.assertEqual(board_state(bed)['mode'], 'booted')

            # The editor has the terminal again.
            session.sendline('2')
            session.expect("Enter 'y' to continue, 'q' to main menu: ")
            session.sendline('q')
            session.expect('> ')
            session.sendline('q')
            self.assertEqual(session.wait(), 0)
            self.assertEqual(len(bed.tool_log('fh_loader')), 8)


if __name__ == '__main__':
    unittest.main()
