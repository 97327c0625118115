"""Finding a board in download mode: find and udevadm run as argument lists,
their output read as text, with the fake find and udevadm playing the
machine's USB tree."""

import os

import unittest

from ostrelle_testbed import board
from ostrelle_testbed.bed import Bed


class Discovery(unittest.TestCase):
    def find(self, bed, ports, dev=None):
        board.configure(bed.state, ports=ports)
        return bed.call('find_device', dev=dev)

    def test_no_serial_port_finds_nothing_and_says_nothing(self):
        with Bed() as bed:
            result = self.find(bed, [], dev='/dev/ttyUSB9')
            self.assertEqual(result.status, 0)
            self.assertEqual(result.output, b'')
            self.assertEqual(result.state['dev_name'], '/dev/ttyUSB9')
            self.assertEqual(bed.tool_log('find'),
                             [['/sys/bus/usb/devices/usb*/', '-name', 'dev']])
            self.assertEqual(bed.tool_log('udevadm'), [])

    def test_board_in_download_mode_is_found(self):
        with Bed() as bed:
            result = self.find(bed, [board.download_port(0)])
            self.assertEqual(result.status, 1)
            self.assertEqual(result.output,
                             b'Device found: /dev/ttyUSB0 (USB 1-2, serial 7A3C11F0)\n')
            self.assertEqual(result.state['dev_name'], '/dev/ttyUSB0')
            # Only serial ports are looked up.
            self.assertEqual(bed.tool_log('udevadm'), [
                ['info', '-q', 'property', '--export', '-p',
                 board.download_port(0)['syspath']]])

    def test_ports_of_other_devices_are_ignored(self):
        # None of these is a board in download mode.
        cases = {
            'another vendor': [board.other_port(0)],
            'another product': [board.other_port(0, vendor='05c6', model='9091')],
            'no serial': [board.download_port(0, serial=None)],
            'empty serial': [board.download_port(0, serial='')],
            # The properties of one port must not carry over to the next.
            'serial of the port before': [board.other_port(0),
                                          board.download_port(1, serial=None)],
        }
        for name, ports in cases.items():
            with self.subTest(name), Bed() as bed:
                result = self.find(bed, ports, dev='/dev/ttyACM0')
                self.assertEqual(result.status, 0)
                self.assertEqual(result.output, b'')
                self.assertEqual(result.state['dev_name'], '/dev/ttyACM0')
                self.assertEqual(len(bed.tool_log('udevadm')), len(ports))

    def test_two_boards_are_listed_and_the_chosen_one_is_found(self):
        with Bed() as bed:
            ports = [board.other_port(0), board.download_port(1), board.download_port(2)]
            board.configure(bed.state, ports=ports)
            result = bed.call('find_device', input=b'3\n2\n')
            self.assertEqual(result.status, 1)
            self.assertEqual(result.output,
                             b'2 boards are waiting in download mode:\n'
                             b'  1: /dev/ttyUSB1 (USB 1-3, serial 7A3C11F1)\n'
                             b'  2: /dev/ttyUSB2 (USB 1-4, serial 7A3C11F2)\n'
                             b"Select one number of board ( 1 - 2 ) to flash, 'q' to main menu: "
                             b'No board has the number 3\n'
                             b"Select one number of board ( 1 - 2 ) to flash, 'q' to main menu: "
                             b'Device found: /dev/ttyUSB2 (USB 1-4, serial 7A3C11F2)\n')
            self.assertEqual(result.state['dev_name'], '/dev/ttyUSB2')

    def test_udev_values_are_text_never_code_or_another_board(self):
        with Bed() as bed:
            planted = os.path.join(bed.tmp, 'planted')
            # A vendor name as the USB ids database ships it.
            frys = board.download_port(0)
            frys['props']['ID_VENDOR'] = "Fry's Electronics"
            quoted = board.download_port(
                1, serial="Q'$(touch %s)`touch %s`\"" % (planted, planted))
            # A line feed in a serial once printed a second board, on a node
            # of the attacker's choice.
            forged = board.download_port(
                2, serial='7A3C0000\n/dev/sda\t/sys/bus/usb/devices/usb1/1-9\tFORGED')
            board.configure(bed.state, ports=[frys, quoted, forged])
            result = bed.call('find_device', input=b'q\n')
            self.assertEqual(result.status, 0)
            self.assertEqual(
                result.output,
                b'ostrelle: the serial port at ' + forged['syspath'].encode() +
                b' is left out: property ID_SERIAL holds a line feed\n'
                b'2 boards are waiting in download mode:\n'
                b'  1: /dev/ttyUSB0 (USB 1-2, serial 7A3C11F0)\n'
                b'  2: /dev/ttyUSB1 (USB 1-3, serial ' + quoted['props']['ID_SERIAL'].encode() +
                b')\n'
                b"Select one number of board ( 1 - 2 ) to flash, 'q' to main menu: ")
            self.assertFalse(os.path.exists(planted))

    def test_shorter_node_replaces_a_longer_one_whole(self):
        with Bed() as bed:
            result = self.find(bed, [board.download_port(0)],
                               dev='/dev/serial/by-id/usb-Qualcomm_QDLoader-if00-port0')
            self.assertEqual(result.state['dev_name'], '/dev/ttyUSB0')

    def test_node_longer_than_127_characters_is_refused(self):
        long_node = '/dev/serial/by-path/' + 'p' * 108
        self.assertEqual(len(long_node), 128)
        with Bed() as bed:
            result = self.find(bed, [board.download_port(0, devname=long_node)],
                               dev='/dev/ttyUSB4')
            self.assertEqual(result.status, 0)
            self.assertEqual(result.output, b'find_device: device name too long internal error\n')
            self.assertEqual(result.state['dev_name'], '/dev/ttyUSB4')
        with Bed() as bed:
            result = self.find(bed, [board.download_port(0, devname=long_node[:127])])
            self.assertEqual(result.status, 1)
            self.assertEqual(result.state['dev_name'], long_node[:127])


if __name__ == '__main__':
    unittest.main()
