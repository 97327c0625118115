"""The simulated board's serial console, for a board farm's connection command.

    python3 -m ostrelle_testbed.console STATE_DIR [SERIAL]

STATE_DIR is the fakes' state directory; SERIAL picks the board whose
console this is by its USB serial (default: the first board). Like a serial
line, it stays silent while the board waits in download mode, is being
flashed or is not there. Once the board has been reset after a flash
(fh_loader --reset), it prints a boot log with a kernel banner and a login
prompt, takes any user name without a password and answers every line
after it with a shell prompt, until its input ends. A real console echoes
what is typed through its terminal, as this one does when it runs on one.
"""

import sys
import time

from ostrelle_testbed import board

BOOT_LOG = (
    '\r\nFormat: Log Type - Time(microsec) - Message\r\n'
    'B -     48211 - PBL, Start\r\n'
    'B -    103872 - XBL, Start\r\n'
    '[    0.000000] Booting Linux on physical CPU 0x0000000000 [0x51af8014]\r\n'
    '[    0.000000] Linux version 4.14.117-perf (oe-user@oe-host) (gcc version 8.2.0 (GCC))'
    ' #1 SMP PREEMPT\r\n'
    '[    0.000000] Machine model: Vavevuro simulated board\r\n'
    '[    1.204518] Freeing unused kernel memory: 1024K\r\n'
    '[    2.011734] systemd[1]: Started Serial Getty on ttyMSM0.\r\n'
    '\r\nVavevuro embedded Linux board ttyMSM0\r\n\r\n'
    'board login: ')
SHELL_PROMPT = 'root@board:~# '
POLL_SECONDS = 0.05


def has_restarted(state, serial=None):
    """The board has been reset after a flash and has not gone back into
    download mode since."""
    found = [b for b in board.boards(state)
             if serial is None or b['props'].get('ID_SERIAL_SHORT') == serial]
    return bool(found) and found[0]['mode'] in ('booting', 'booted')


def say(text):
    sys.stdout.write(text)
    sys.stdout.flush()


def main(argv):
    if len(argv) not in (1, 2):
        sys.stderr.write('usage: console.py STATE_DIR [SERIAL]\n')
        return 2
    state_dir, serial = argv[0], (argv[1] if len(argv) == 2 else None)
    # A board that never restarts keeps the console silent: the farm's boot
    # time-out ends the wait, as it would on a real line.
    while not has_restarted(board.load(state_dir), serial):
        time.sleep(POLL_SECONDS)
    say(BOOT_LOG)
    if not sys.stdin.readline():
        return 0
    say('\r\nLast login: never\r\n' + SHELL_PROMPT)
    for _ in sys.stdin:
        say(SHELL_PROMPT)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
