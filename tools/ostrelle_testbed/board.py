"""The simulated boards shared by the fake find, udevadm, QSaharaServer,
fh_loader and adb.

Their state is one JSON file, $OSTRELLE_FAKE_STATE/board.json:

- ports: the USB serial ports in sysfs order, each {"syspath", "props",
  "board"}. A port with "board" true is a board's own download-mode port,
  present only while that board is in download mode; the port carries the
  board's own settings and state (below). Other ports (USB-serial adapters)
  are always present.
- adb_others: devices adb lists whatever the boards do (a phone, a board
  that was already running), each {"serial", "usb", "state"}; "usb" may be
  null for a device adb reports without a USB path.

Each board (a port with "board" true) has:

- usb: its USB path (such as "1-2.3"), also in its sysfs path; adb reports
  it as usb:<path> once the board has booted.
- adb_serial: the serial adb lists for the booted board.
- mode: "download" (waiting in download mode), "firehose" (programmer
  loaded), "booting" (restarted, not yet under adb), "booted" (listed by adb
  devices), "absent" (unplugged), "lost" (dropped off USB in the middle of a
  write; its port is gone until it comes back in download mode).
- sahara: what loading the programmer does: "ok", "fail" (non-zero exit
  status) or "silent" (the shell that runs it dies, so no status line).
- boot_after_polls: the adb devices call (1 = the first) from which the
  restarted board is listed; null for a board that never boots.
- reset_leaves_download: false for a board that stays in download mode
  after fh_loader --reset.
- polls: adb devices calls since the last reset.
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
- write_bytes_per_second: how fast fh_loader writes images (null: at once);
  the time is scaled by OSTRELLE_PAUSE_SCALE like the program's pauses.
- lose_probability: the chance (0 to 1) that a write of fh_loader loses the
  board part-way: fh_loader stops with a failure, the port disappears, and
  lost_return_seconds later (null: never) the board is back in download mode
  on the same USB path with the same serial; lost_at is when it was lost.
- draws: the random numbers the board has drawn; with the state's "seed"
  they make the next one, so a scenario repeats exactly.
- storage, patches, bytes_written: what fh_loader wrote (storage.py).

The state's "seed" (configure's seed) feeds every board's random numbers.

Tests configure the boards with configure() and the port helpers (settings
given to configure() apply to every board, settings given to
download_port() to that board alone); the fakes change one board at a time
with update(), under a lock, since several boards may be flashed at once.
From the command line, "python3 tools/ostrelle_testbed/board.py STATE_DIR
download" puts every board back into download mode and "... show" prints
their states.
"""

import contextlib
import fcntl
import json
import os
import random
import sys
import time

STATE_FILE = 'board.json'

# Dev files of the USB tree that are no serial ports; the discovery's grep
# must drop them.
OTHER_DEV_FILES = ['/sys/bus/usb/devices/usb1/dev', '/sys/bus/usb/devices/usb1/1-1/dev']

BOARD_DEFAULTS = {'mode': 'download', 'sahara': 'ok', 'boot_after_polls': 1,
                  'reset_leaves_download': True, 'polls': 0, 'progress_seconds': 0,
                  'strict_files': False, 'boot_after_seconds': None,
                  'download_after_seen_seconds': None, 'reset_at': None, 'seen_at': None,
                  'write_bytes_per_second': None, 'lose_probability': 0,
                  'lost_return_seconds': 1.0, 'lost_at': None, 'draws': 0,
                  'storage': {}, 'patches': {}, 'bytes_written': 0}


# The default of download_port's serial, which differs per board.
_DEFAULT = object()


def download_port(index=0, devname=None, serial=_DEFAULT, vendor='05c6', model='9008', usb=None,
                  adb_serial=None, **settings):
    """The serial port of a board in download mode (Qualcomm HS-USB
    QDLoader) on USB path usb (default 1-<index + 2>). serial is its udev
    ID_SERIAL (None for none), whose part after "SN:" is the short serial;
    settings are the board's own."""
    devname = devname or '/dev/ttyUSB%d' % index
    if serial is _DEFAULT:
        serial = 'QUSB_BULK_CID:0402_SN:7A3C%04X' % (0x11F0 + index)
    props = {'ID_VENDOR_ID': vendor, 'ID_MODEL_ID': model}
    short = None
    if serial is not None:
        props['ID_SERIAL'] = serial
        short = serial.rsplit('SN:', 1)[1] if 'SN:' in serial else serial
        if short:
            props['ID_SERIAL_SHORT'] = short
    port = _port(index, devname, props, board=True, usb=usb)
    port['adb_serial'] = adb_serial or (short or 'board%d' % index).lower()
    port['own'] = dict(settings)
    return port


def other_port(index=0, devname=None, serial='Prolific_Technology_Inc._USB-Serial_Controller',
               vendor='067b', model='2303', usb=None):
    """A serial port of something else (a USB-serial adapter), always present."""
    devname = devname or '/dev/ttyUSB%d' % index
    props = {'ID_VENDOR_ID': vendor, 'ID_MODEL_ID': model}
    if serial is not None:
        props['ID_SERIAL'] = serial
    return _port(index, devname, props, board=False, usb=usb)


def _port(index, devname, props, board, usb=None):
    name = 'ttyUSB%d' % index
    usb = usb or '1-%d' % (index + 2)
    # The sysfs tree nests a hub's ports: usb1/1-2/1-2.3/1-2.3:1.0/...
    bus, ports = usb.split('-', 1)
    parts = ports.split('.')
    chain = ['%s-%s' % (bus, '.'.join(parts[:n])) for n in range(1, len(parts) + 1)]
    syspath = '/sys/bus/usb/devices/usb%s/%s/%s:1.0/%s/tty/%s' % (
        bus, '/'.join(chain), usb, name, name)
    all_props = {
        'DEVPATH': syspath[len('/sys'):],
        'DEVNAME': devname,
        'MAJOR': '188',
        'MINOR': str(index),
        'SUBSYSTEM': 'tty',
    }
    all_props.update(props)
    return {'syspath': syspath, 'props': all_props, 'board': board, 'usb': usb}


def adb_device(serial, usb=None, state='device'):
    """A device adb lists whatever the boards do (for configure's adb_others)."""
    return {'serial': serial, 'usb': usb, 'state': state}


def state_file(state_dir=None):
    return os.path.join(state_dir or os.environ['OSTRELLE_FAKE_STATE'], STATE_FILE)


def configure(state_dir, ports=(), mode=None, adb_others=(), seed=0, **settings):
    """Writes a fresh state: the ports in sysfs order, every board with
    settings (BOARD_DEFAULTS for what is not given) and then its own.
    mode: the boards' mode (default "download"); seed: of the boards'
    random numbers."""
    out = []
    for port in ports:
        port = json.loads(json.dumps(port))
        if port['board']:
            own = port.pop('own', {})
            port.update(BOARD_DEFAULTS)
            port.update(settings)
            port.update(own)
            if mode is not None:
                port['mode'] = mode
        out.append(port)
    save({'ports': out, 'adb_others': list(adb_others), 'seed': seed}, state_dir)


def boards(state):
    """The boards (their ports), in sysfs order."""
    return [p for p in state['ports'] if p['board']]


def load(state_dir=None):
    """The boards as they are now: the stored state with the timed changes
    (boot, return to download mode) that are due applied."""
    state = {'ports': [], 'adb_others': []}
    try:
        with open(state_file(state_dir)) as f:
            state.update(json.load(f))
    except FileNotFoundError:
        pass
    for board in boards(state):
        advance(board)
    return state


@contextlib.contextmanager
def locked(state_dir=None):
    """Holds the state's lock; the fakes of several boards change it at once."""
    with open(state_file(state_dir) + '.lock', 'a') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def update(change, state_dir=None):
    """Loads the state, calls change(state) and saves it, all under the lock;
    returns what change returned."""
    with locked(state_dir):
        state = load(state_dir)
        result = change(state)
        save(state, state_dir)
        return result


def advance(board, now=None):
    now = time.time() if now is None else now
    after = board.get('lost_return_seconds')
    if (board['mode'] == 'lost' and after is not None and board.get('lost_at') is not None
            and now - board['lost_at'] >= after):
        enter_download_mode(board)
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
    board['lost_at'] = None


def lose(board):
    """The board drops off USB in the middle of a write."""
    board['mode'] = 'lost'
    board['lost_at'] = time.time()


def draw(state, board):
    """The board's next random number in [0, 1), from the state's seed and
    the numbers it drew before."""
    board['draws'] = board.get('draws', 0) + 1
    return random.Random('%s/%s/%d' % (state.get('seed', 0), board['usb'], board['draws'])).random()


def save(state, state_dir=None):
    path = state_file(state_dir)
    tmp = '%s.tmp%d' % (path, os.getpid())
    with open(tmp, 'w') as f:
        json.dump(state, f)
    os.replace(tmp, path)
    show_in_sysfs(state, os.path.dirname(path))


def show_in_sysfs(state, state_dir):
    """Makes the simulated host's /sys/bus/usb/devices (below the state's
    root, which the test-bed build reads) show the ports present now: for
    each, the USB device with its idVendor and idProduct, and its first
    interface bound to its driver (qcserial for a board); a board out of download mode is absent.
    So `ostrelle doctor` sees the boards that the discovery's fakes show."""
    devices = os.path.join(state_dir, 'root', 'sys', 'bus', 'usb', 'devices')
    if not os.path.isdir(devices):
        return
    visible = visible_ports(state)
    for port in state['ports']:
        usb = port['usb']
        for entry in (usb, usb + ':1.0'):
            target = os.path.join(devices, entry)
            if os.path.lexists(os.path.join(target, 'driver')):
                os.remove(os.path.join(target, 'driver'))
            for name in ('idVendor', 'idProduct'):
                if os.path.exists(os.path.join(target, name)):
                    os.remove(os.path.join(target, name))
            if os.path.isdir(target):
                os.rmdir(target)
        if port not in visible:
            continue
        os.makedirs(os.path.join(devices, usb))
        for name, prop in (('idVendor', 'ID_VENDOR_ID'), ('idProduct', 'ID_MODEL_ID')):
            with open(os.path.join(devices, usb, name), 'w') as f:
                f.write(port['props'].get(prop, '') + '\n')
        os.makedirs(os.path.join(devices, usb + ':1.0'))
        driver = 'qcserial' if port['board'] else 'pl2303'
        os.symlink('../../../../bus/usb-serial/drivers/' + driver,
                   os.path.join(devices, usb + ':1.0', 'driver'))


def in_download_mode(board):
    return board['mode'] in ('download', 'firehose')


def visible_ports(state):
    """The serial ports present now, in sysfs order."""
    return [p for p in state['ports'] if not p['board'] or in_download_mode(p)]


def node(board):
    return board['props'].get('DEVNAME')


def board_at(state, devname):
    """The board whose download-mode port is devname, or None."""
    for board in boards(state):
        if node(board) == devname:
            return board
    return None


def main(argv):
    if len(argv) != 2 or argv[1] not in ('download', 'show'):
        sys.stderr.write('usage: board.py STATE_DIR download|show\n')
        return 2

    def change(state):
        if argv[1] == 'download':
            for board in boards(state):
                enter_download_mode(board)
        return state

    state = update(change, argv[0]) if argv[1] == 'download' else load(argv[0])
    if not boards(state):
        sys.stderr.write('board.py: no board is attached in %s\n' % argv[0])
        return 1
    for board in boards(state):
        print('board %s (USB %s): %s' % (node(board), board['usb'], board['mode']))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
