"""The simulated board shared by the fake find, udevadm, QSaharaServer,
fh_loader and adb.

Its state is one JSON file, $OSTRELLE_FAKE_STATE/board.json:

- ports: the USB serial ports in sysfs order, each {"syspath", "props",
  "board"}. A port with "board" true is the board's own download-mode port:
  it is present only while the board is in download mode.
- mode: "absent" (no board), "download" (waiting in download mode),
  "firehose" (programmer loaded), "booting" (restarted, not yet under adb),
  "booted" (listed by adb devices).
- sahara: what loading the programmer does: "ok", "fail" (non-zero exit
  status) or "silent" (the shell that runs it dies, so no status line).
- boot_after_polls: the adb devices call (1 = the first) from which the
  restarted board is listed; null for a board that never boots.
- reset_leaves_download: false for a board that stays in download mode
  after fh_loader --reset.
- polls: adb devices calls since the last reset.

Tests configure it with configure() and the port helpers; the fakes load and
save it.
"""

import json
import os

STATE_FILE = 'board.json'

# Dev files of the USB tree that are no serial ports; the discovery's grep
# must drop them.
OTHER_DEV_FILES = ['/sys/bus/usb/devices/usb1/dev', '/sys/bus/usb/devices/usb1/1-1/dev']


def download_port(index=0, devname=None, serial='QUSB_BULK_CID:0402_SN:7A3C11F0',
                  vendor='05c6', model='9008'):
    """A serial port of the board in download mode (Qualcomm HS-USB QDLoader)."""
    devname = devname or '/dev/ttyUSB%d' % index
    props = {'ID_VENDOR_ID': vendor, 'ID_MODEL_ID': model}
    if serial is not None:
        props['ID_SERIAL'] = serial
    return _port(index, devname, props, board=True)


def other_port(index=0, devname=None, serial='Prolific_Technology_Inc._USB-Serial_Controller',
               vendor='067b', model='2303'):
    """A serial port of something else (a USB-serial adapter), always present."""
    devname = devname or '/dev/ttyUSB%d' % index
    props = {'ID_VENDOR_ID': vendor, 'ID_MODEL_ID': model}
    if serial is not None:
        props['ID_SERIAL'] = serial
    return _port(index, devname, props, board=False)


def _port(index, devname, props, board):
    name = 'ttyUSB%d' % index
    syspath = '/sys/bus/usb/devices/usb1/1-%d/1-%d:1.0/%s/tty/%s' % (
        index + 2, index + 2, name, name)
    all_props = {
        'DEVPATH': syspath[len('/sys'):],
        'DEVNAME': devname,
        'MAJOR': '188',
        'MINOR': str(index),
        'SUBSYSTEM': 'tty',
    }
    all_props.update(props)
    return {'syspath': syspath, 'props': all_props, 'board': board}


def state_file(state_dir=None):
    return os.path.join(state_dir or os.environ['OSTRELLE_FAKE_STATE'], STATE_FILE)


def configure(state_dir, ports=(), mode=None, sahara='ok', boot_after_polls=1,
              reset_leaves_download=True):
    """Writes a fresh board state. mode defaults to "download" when a board
    port is among the ports, else "absent"."""
    ports = list(ports)
    if mode is None:
        mode = 'download' if any(p['board'] for p in ports) else 'absent'
    save({'ports': ports, 'mode': mode, 'sahara': sahara,
          'boot_after_polls': boot_after_polls,
          'reset_leaves_download': reset_leaves_download, 'polls': 0}, state_dir)


def load(state_dir=None):
    try:
        with open(state_file(state_dir)) as f:
            return json.load(f)
    except FileNotFoundError:
        return {'ports': [], 'mode': 'absent', 'sahara': 'ok', 'boot_after_polls': None,
                'reset_leaves_download': True, 'polls': 0}


def save(board, state_dir=None):
    path = state_file(state_dir)
    tmp = '%s.tmp%d' % (path, os.getpid())
    with open(tmp, 'w') as f:
        json.dump(board, f)
    os.replace(tmp, path)


def in_download_mode(board):
    return board['mode'] in ('download', 'firehose')


def visible_ports(board):
    """The serial ports present now, in sysfs order."""
    return [p for p in board['ports'] if not p['board'] or in_download_mode(board)]


def board_node(board):
    """Device node of the board's download-mode port, or None."""
    for port in board['ports']:
        if port['board']:
            return port['props'].get('DEVNAME')
    return None
