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

Settings the demo uses (the defaults keep the board as the tests expect it):

- progress_seconds: how long each fh_loader call takes, showing its
  percentage as it goes (0: one "100%" line at once).
- strict_files: fh_loader checks that the descriptions it is sent, and the
  images they name, are in its search path; a missing one fails the call
  and the board is not restarted.
- boot_after_seconds: the restarted board also counts as booted this many
  seconds after the reset (null: only boot_after_polls counts).
- download_after_seen_seconds: a booted board that adb has listed drops
  back into download mode this many seconds later, ready to be flashed
  again (null: it stays booted).
- reset_at, seen_at: times (seconds since the epoch) of the last reset and
  of the first adb listing after it.

Tests configure it with configure() and the port helpers; the fakes load and
save it. From the command line, "python3 tools/ostrelle_testbed/board.py
STATE_DIR download" puts the board back into download mode and "... show"
prints its state.
"""

import json
import os
import sys
import time

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


DEFAULTS = {'ports': [], 'mode': 'absent', 'sahara': 'ok', 'boot_after_polls': None,
            'reset_leaves_download': True, 'polls': 0, 'progress_seconds': 0,
            'strict_files': False, 'boot_after_seconds': None,
            'download_after_seen_seconds': None, 'reset_at': None, 'seen_at': None}


def configure(state_dir, ports=(), mode=None, sahara='ok', boot_after_polls=1,
              reset_leaves_download=True, progress_seconds=0, strict_files=False,
              boot_after_seconds=None, download_after_seen_seconds=None):
    """Writes a fresh board state. mode defaults to "download" when a board
    port is among the ports, else "absent"."""
    ports = list(ports)
    if mode is None:
        mode = 'download' if any(p['board'] for p in ports) else 'absent'
    state = dict(DEFAULTS)
    state.update({'ports': ports, 'mode': mode, 'sahara': sahara,
                  'boot_after_polls': boot_after_polls,
                  'reset_leaves_download': reset_leaves_download,
                  'progress_seconds': progress_seconds, 'strict_files': strict_files,
                  'boot_after_seconds': boot_after_seconds,
                  'download_after_seen_seconds': download_after_seen_seconds})
    save(state, state_dir)


def load(state_dir=None):
    """The board as it is now: the stored state with the timed changes
    (boot, return to download mode) that are due applied."""
    state = dict(DEFAULTS)
    try:
        with open(state_file(state_dir)) as f:
            state.update(json.load(f))
    except FileNotFoundError:
        pass
    return advance(state)


def advance(board, now=None):
    now = time.time() if now is None else now
    after = board['boot_after_seconds']
    if (board['mode'] == 'booting' and after is not None and board['reset_at'] is not None
            and now - board['reset_at'] >= after):
        board['mode'] = 'booted'
    after = board['download_after_seen_seconds']
    if (board['mode'] == 'booted' and after is not None and board['seen_at'] is not None
            and now - board['seen_at'] >= after):
        enter_download_mode(board)
    return board


def reset(board):
    """fh_loader --reset: the board restarts."""
    board['mode'] = 'booting' if board['reset_leaves_download'] else 'download'
    board['polls'] = 0
    board['reset_at'] = time.time()
    board['seen_at'] = None


def enter_download_mode(board):
    board['mode'] = 'download'
    board['polls'] = 0
    board['reset_at'] = None
    board['seen_at'] = None


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


def main(argv):
    if len(argv) != 2 or argv[1] not in ('download', 'show'):
        sys.stderr.write('usage: board.py STATE_DIR download|show\n')
        return 2
    state = load(argv[0])
    if argv[1] == 'download':
        if not any(p['board'] for p in state['ports']):
            sys.stderr.write('board.py: no board is attached in %s\n' % argv[0])
            return 1
        enter_download_mode(state)
        save(state, argv[0])
    print('board: %s' % state['mode'])
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
