"""Several boards on one host: the inventory, the choice of one board (at the
prompt, by --board, or refused when a run with commands names none), the boot
check that follows the flashed board's USB path, and flashing several boards
at once."""

import json
import os
import re
import socket
import unittest

from ostrelle_testbed import board
from ostrelle_testbed.bed import Bed, default_release, setup_to_shell
from flashing import make_release
from unattended_runs import answers, catalogue, result_line, run, run_apart

RELEASE = 'kt1-le-1'


def boards(bed, count, first=1, adb_others=(), **settings):
    """count boards in download mode on /dev/ttyUSB<first>... (USB paths
    1-<first + 2>..., serials 7A3C11F<first>...), behind an adapter."""
    ports = [board.other_port(0)] + [board.download_port(i, **settings)
                                     for i in range(first, first + count)]
    board.configure(bed.state, ports=ports, adb_others=adb_others)
    return ports


def downloaded(bed):
    """The release on the mirror and unpacked in the target, as command "1"
    leaves it; no board is attached meanwhile."""
    catalogue(bed, 'kt1', '_le_', RELEASE, flashable='le')
    board.configure(bed.state, ports=[])
    status, out = run(bed, ['--yes'] + answers(bed, 'kt1') + ['download'])
    assert status == 0, out


def ports_flashed(bed):
    return {a[0] for a in bed.tool_log('fh_loader')}


class Boards(unittest.TestCase):
    def test_inventory_lists_download_mode_and_adb_by_usb_path(self):
        with Bed() as bed:
            boards(bed, 2, adb_others=[board.adb_device('b0a4d6e1', usb='1-7'),
                                       board.adb_device('192.168.1.20:5555')])
            status, out = run(bed, ['boards', '--json'])
            self.assertEqual(status, 0, out)
            self.assertEqual(json.loads(out), {'boards': [
                {'usb_path': '1-3', 'adb': None,
                 'download': {'port': '/dev/ttyUSB1', 'serial': '7A3C11F1'}},
                {'usb_path': '1-4', 'adb': None,
                 'download': {'port': '/dev/ttyUSB2', 'serial': '7A3C11F2'}},
                {'usb_path': '1-7', 'download': None,
                 'adb': {'serial': 'b0a4d6e1', 'state': 'device'}},
                {'usb_path': None, 'download': None,
                 'adb': {'serial': '192.168.1.20:5555', 'state': 'device'}}]})
            status, out = run(bed, ['boards'])
            self.assertEqual(status, 0, out)
            self.assertIn(b'1-4       /dev/ttyUSB2   7A3C11F2         -                  -\n', out)
            self.assertIn(b'\nOne row is one board: a board keeps its USB path from download '
                          b'mode to its booted system.\n', out)
            # No host preparation, no sign-in.
            self.assertEqual(bed.tool_log('sudo'), [])
            self.assertEqual(bed.mirror.requests_for('/ldap.php'), [])

            # A host without USB buses and without an adb server: find's and
            # adb's complaints go to the log, and the server the program
            # started is stopped at its end.
            board.configure(bed.state, ports=[])
            os.remove(os.path.join(bed.logs, 'adb.log'))
            running = os.path.join(bed.state, 'adb_server_running')
            log = os.path.join(bed.tmp, 'boards.log')
            status, out = run(bed, ['boards', '--log', log])
            self.assertEqual((status, out), (0, b'No board in download mode and no adb device.\n'))
            self.assertEqual(bed.tool_log('adb'),
                             [['start-server'], ['devices', '-l'], ['kill-server']])
            self.assertFalse(os.path.exists(running))
            with open(log) as f:
                text = f.read()
            self.assertIn("  | find: '/sys/bus/usb/devices/usb*/': No such file or directory\n",
                          text)
            self.assertIn('  | * daemon not running; starting now at tcp:5037\n', text)

            # A server that was running before is used and left running.
            os.remove(os.path.join(bed.logs, 'adb.log'))
            open(running, 'w').close()
            with socket.socket() as server:
                server.bind(('127.0.0.1', bed.adb_port))
                server.listen()
                status, out = run(bed, ['boards'])
            self.assertEqual(status, 0, out)
            self.assertEqual(bed.tool_log('adb'), [['devices', '-l']])
            self.assertTrue(os.path.exists(running))

    def test_two_boards_at_the_prompt_the_chosen_one_is_flashed(self):
        with Bed() as bed:
            make_release(bed.target, release='kt1le1.0', ufs=True, cdt=True,
                         digest=default_release('kt1', '_le_')[2])
            boards(bed, 2)
            s = bed.spawn()
            setup_to_shell(bed, s)
            s.sendline('2')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect('2 boards are waiting in download mode:\n'
                     '  1: /dev/ttyUSB1 (USB 1-3, serial 7A3C11F1)\n'
                     '  2: /dev/ttyUSB2 (USB 1-4, serial 7A3C11F2)\n'
                     "Select one number of board ( 1 - 2 ) to flash, 'q' to main menu: ")
            # q goes back to the prompt and flashes nothing.
            s.sendline('q')
            s.expect('> ')
            self.assertEqual(bed.tool_log('QSaharaServer'), [])
            s.sendline('2')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect("to flash, 'q' to main menu: ")
            s.sendline('2')
            s.expect('Device found: /dev/ttyUSB2 (USB 1-4, serial 7A3C11F2)\n')
            s.expect('Robotics device is ready to use.', timeout=60)
            s.expect('> ')
            self.assertEqual(ports_flashed(bed), {'--port=/dev/ttyUSB2'})
            self.assertEqual([b['mode'] for b in board.boards(board.load(bed.state))],
                             ['download', 'booted'])
            s.sendline('q')
            self.assertEqual(s.wait(), 0)

    def test_board_named_by_serial_or_by_usb_path(self):
        with Bed() as bed:
            downloaded(bed)
            for name, node in (('7A3C11F2', '/dev/ttyUSB2'), ('1-3', '/dev/ttyUSB1')):
                boards(bed, 2)
                if os.path.exists(os.path.join(bed.logs, 'fh_loader.log')):
                    os.remove(os.path.join(bed.logs, 'fh_loader.log'))
                status, out = run(bed, answers(bed, 'kt1') + ['flash', '--board', name])
                self.assertEqual(status, 0, out)
                self.assertEqual(ports_flashed(bed), {'--port=' + node}, name)
                modes = {board.node(b): b['mode'] for b in board.boards(board.load(bed.state))}
                self.assertEqual(modes[node], 'booted')

    def test_several_boards_and_none_named_is_refused_before_any_command(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', RELEASE, flashable='le')
            boards(bed, 2)
            status, out = run(bed, answers(bed, 'kt1') + ['download', 'flash'])
            self.assertEqual(status, 2, out)
            self.assertIn(b'ostrelle: 2 boards are in download mode; name the one to flash with '
                          b'--board ID (its serial, port or USB path), or flash them all with '
                          b'--all-boards:\n'
                          b'  /dev/ttyUSB1 (USB 1-3, serial 7A3C11F1)\n'
                          b'  /dev/ttyUSB2 (USB 1-4, serial 7A3C11F2)\n', out)
            self.assertEqual(result_line(out)['status'], 2)
            self.assertFalse(os.path.exists(os.path.join(bed.target, RELEASE + '.zip')))
            self.assertEqual(bed.tool_log('QSaharaServer'), [])

    def test_flashed_board_that_never_boots_is_not_taken_for_another_adb_device(self):
        with Bed() as bed:
            downloaded(bed)
            # A board that was already running is listed by adb all along.
            boards(bed, 1, boot_after_polls=None,
                   adb_others=[board.adb_device('b0a4d6e1', usb='1-7')])
            status, out = run(bed, answers(bed, 'kt1') + ['flash'])
            self.assertEqual(status, 7, out)
            self.assertIn(b'Waiting for boot up, time elapsed: 90s\n\n'
                          b'There is something wrong happened in Boot up process\n', out)
            self.assertNotIn(b'Robotics device is ready', out)
            self.assertEqual(bed.tool_log('adb'),
                             [['start-server']] + [['devices', '-l']] * 9 + [['kill-server']])
            self.assertEqual(result_line(out)['commands'],
                             [{'command': 'flash', 'result': 'fail'}])

    def test_each_board_at_once_is_flashed_again_on_its_own(self):
        with Bed() as bed:
            downloaded(bed)
            # Half of the writes lose a board, back in download mode 1 s
            # later: with this seed 7A3C11F1 boots on its second attempt and
            # 7A3C11F0 is lost on all three.
            board.configure(bed.state, ports=[board.download_port(i) for i in range(2)], seed=1,
                            lose_probability=0.5, lost_return_seconds=1.0)
            status, out, err = run_apart(bed, answers(bed, 'kt1') +
                                         ['--json', '--retries=2', '--all-boards', 'flash'])
            self.assertEqual(status, 6, err)
            events = [json.loads(line) for line in out.decode().splitlines()]
            self.assertEqual([(e['board'], e['result'], e['attempts'])
                              for e in events if e['event'] == 'board'],
                             [('7A3C11F1', 'booted', 2), ('7A3C11F0', 'lost', 3)])
            self.assertEqual(events[-1]['reason'],
                             'board 7A3C11F0: lost while writing the CDT (3 attempts)')
            self.assertIn({'event': 'phase', 'command': 'flash', 'board': '7A3C11F1',
                           'usb_path': '1-3', 'phase': 'loading', 'attempt': 2}, events)
            self.assertIn(b'\n7A3C11F1  1-3       booted (2 attempts)  ', err)

    def test_only_the_cdt_onto_two_boards_at_once(self):
        with Bed() as bed:
            downloaded(bed)
            ports = boards(bed, 2)
            ports[2]['own']['reset_leaves_download'] = False  # ttyUSB2 stays
            board.configure(bed.state, ports=ports)
            status, out = run(bed, answers(bed, 'kt1') +
                              ['flash', '--all-boards', '--only', 'cdt'])
            self.assertEqual(status, 1, out)
            rows = re.findall(rb'^(7A3C11F\d)  (1-\d) +([a-z ]*[a-z]) +\dm\d\ds$', out, re.M)
            self.assertEqual(rows, [(b'7A3C11F1', b'1-3', b'flashed'),
                                    (b'7A3C11F2', b'1-4', b'still in download mode')], out)
            self.assertEqual({tuple(a[1:3]) for a in bed.tool_log('fh_loader')},
                             {('--sendxml=rawprogram2.xml,patch2.xml',
                               '--search_path=%s/cdt/' % os.path.join(bed.target, RELEASE))})

    def test_four_boards_at_once_one_failing(self):
        with Bed() as bed:
            downloaded(bed)
            ports = boards(bed, 4, boot_after_polls=None, boot_after_seconds=0.3,
                           progress_seconds=0.2)
            ports[3]['own']['boot_after_seconds'] = None  # ttyUSB3 never boots
            board.configure(bed.state, ports=ports)
            s = bed.spawn(args=answers(bed, 'kt1') + ['flash', '--all-boards'])
            status = s.wait(timeout=90)
            out = s.output
            self.assertEqual(status, 7, out)
            # A live line per board, drawn again in place.
            self.assertIn(b'\x1b[4A', out)
            rows = re.findall(rb'^(7A3C11F\d)  (1-\d) +(?:\x1b\[3\dm)?([a-z ]*[a-z])'
                              rb'(?:\x1b\[0m)? +\dm\d\ds$', out, re.M)
            self.assertEqual(rows, [(b'7A3C11F1', b'1-3', b'booted'),
                                    (b'7A3C11F2', b'1-4', b'booted'),
                                    (b'7A3C11F3', b'1-5', b'not booted'),
                                    (b'7A3C11F4', b'1-6', b'booted')], out)
            self.assertEqual(ports_flashed(bed), {'--port=/dev/ttyUSB%d' % i
                                                  for i in range(1, 5)})
            # sudo asked once, before the boards' children started.
            self.assertEqual(bed.tool_log('sudo')[0], ['-v'])
            # One adb server for all boards, started before them and stopped
            # at the end.
            adb = bed.tool_log('adb')
            self.assertEqual((adb[0], adb[-1], adb.count(['start-server'])),
                             (['start-server'], ['kill-server'], 1))
            logs = os.path.join(bed.target, RELEASE, 'flash-logs')
            self.assertEqual(sorted(os.listdir(logs)), ['7A3C11F%d' % i for i in range(1, 5)])
            for serial in os.listdir(logs):
                names = os.listdir(os.path.join(logs, serial))
                for name in ('output.log', 'QSahara_fullbuild.log', 'erase0.log',
                             'flash_image.log', 'device_bootup.log'):
                    self.assertIn(name, names)
            with open(os.path.join(logs, '7A3C11F3', 'output.log'), 'rb') as f:
                self.assertIn(b'Device found: /dev/ttyUSB3 (USB 1-5, serial 7A3C11F3)\n',
                              f.read())
            # The only board that failed never booted: the image's side.
            self.assertEqual(result_line(out)['status'], 7)


if __name__ == '__main__':
    unittest.main()
