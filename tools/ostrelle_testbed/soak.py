"""The soak of the flashing sequence: many flashes of one release onto a
simulated board that drops off USB now and then, each judged by what the
board ended with.

Every flash is a run with commands (`flash`, with --json) onto a board set
up afresh in download mode: each fh_loader write loses the board with
lose_probability, and a lost board is back in download mode on its USB path
after lost_return_seconds. A flash counts as good when the run ended with
status 0, its board event says "booted", and the board's storage equals a
full flash of the release (storage.differences).
"""

import json
import os
import subprocess

from ostrelle_testbed import board, storage
from ostrelle_testbed.bed import program_path


class Tally:
    """The outcome of a soak: how many flashes, how many good, the exit
    statuses and the attempts the good ones took."""

    def __init__(self):
        self.flashes = 0
        self.good = 0
        self.statuses = {}
        self.attempts = {}
        self.bad = []  # (flash number, status, board result, differences)

    def share(self):
        return self.good / self.flashes if self.flashes else 0.0


def board_event(output):
    """The last board event of a --json run's standard output, or None."""
    found = None
    for line in output.decode('utf-8', 'replace').splitlines():
        event = json.loads(line)
        if event.get('event') == 'board':
            found = event
    return found


def receipt_differences(bed, release_dir):
    """How the board's last receipt (board 0, under the run's
    XDG_STATE_HOME) differs from a booted full flash of release_dir whose
    images are what the board holds: [] when it proves that flash."""
    record = board.boards(board.load(bed.state))[0]
    serial = record['props'].get('ID_SERIAL_SHORT', '')
    state_home = bed.env().get('XDG_STATE_HOME') or os.path.join(bed.home, '.local', 'state')
    path = os.path.join(state_home, 'ostrelle', 'boards', serial + '.json')
    try:
        with open(path) as f:
            receipt = json.load(f)
    except (OSError, ValueError) as e:
        return ['no receipt: %s' % e]
    out = []
    if receipt.get('result') != 'booted':
        out.append('receipt result %r' % receipt.get('result'))
    if receipt.get('release', {}).get('directory') != release_dir:
        out.append('receipt of %r' % receipt.get('release', {}).get('directory'))
    held = storage.storage(bed.state)
    images = receipt.get('images', [])
    if not images:
        out.append('receipt names no image')
    for image in images:
        key = '%s:%s' % (image.get('partition'), image.get('start_sector'))
        if held.get(key, {}).get('sha256') != image.get('sha256'):
            out.append('receipt %s at %s is not what the board holds' % (image.get('file'), key))
    return out


def soak(bed, answers, release_dir, flashes, retries, seed, lose_probability=0.05,
         lost_return_seconds=1.0, memory=None, receipt_check=None):
    """Flashes release_dir (already downloaded into bed.target) flashes
    times with --retries retries; answers: the set-up options. seed + n
    seeds flash number n, so a soak repeats exactly. receipt_check(bed,
    release_dir), when given, must also return [] for a good flash (the
    completion receipt of the flashed board). Returns a Tally."""
    tally = Tally()
    for n in range(flashes):
        board.configure(bed.state, ports=[board.download_port(0)], seed=seed + n,
                        lose_probability=lose_probability,
                        lost_return_seconds=lost_return_seconds)
        proc = subprocess.run(
            [program_path()] + answers +
            ['--json', '--retries=%d' % retries, '--board-timeout=10', 'flash'],
            env=bed.env(), cwd=bed.tmp, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, timeout=300)
        event = board_event(proc.stdout) or {}
        result = event.get('result')
        differences = storage.differences(bed.state, release_dir, memory=memory)
        if receipt_check is not None:
            differences += receipt_check(bed, release_dir)
        tally.flashes += 1
        tally.statuses[proc.returncode] = tally.statuses.get(proc.returncode, 0) + 1
        if proc.returncode == 0 and result == 'booted' and not differences:
            tally.good += 1
            attempts = event.get('attempts', 0)
            tally.attempts[attempts] = tally.attempts.get(attempts, 0) + 1
        else:
            tally.bad.append((n, proc.returncode, result, differences[:3]))
    return tally
