"""The demo's pieces together, as make demo runs them: the sample catalogue on
the mirror, the demo account, the demo's two simulated boards; the program
signs in, picks an LU product and release, repacks, flashes the first board,
and quits."""

import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

from ostrelle_testbed import catalogue, demo, storage
from ostrelle_testbed.bed import GREEN, RESET, SOURCE_DIR, Bed, sign_in
from flashing import board_state


def sdk_dir(root, product):
    return os.path.join(root, catalogue.RESOURCE_PREFIX, product, 'sdk')


def read_list(root, product, name):
    with open(os.path.join(sdk_dir(root, product), name)) as f:
        return [line.split() for line in f]


class Catalogue(unittest.TestCase):
    def test_every_list_names_packages_with_their_digests(self):
        with Bed() as bed:
            root = bed.mirror.root
            catalogue.generate(root)
            for product, tags in catalogue.PRODUCT_TAGS:
                le_releases = []
                for tag in tags:
                    entries = read_list(root, product, product + tag + 'release_ver.txt')
                    self.assertIn(len(entries), (2, 3), (product, tag))
                    for release, digest in entries:
                        with open(os.path.join(sdk_dir(root, product), release + '.zip'),
                                  'rb') as f:
                            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest)
                        if tag.startswith('_le'):
                            le_releases.append(release)
                if le_releases:
                    toolchains = read_list(root, product, product + '_le_toolchain_ver.txt')
                    self.assertEqual([r for r, _ in toolchains], le_releases)
                    for release, digest in toolchains:
                        with open(os.path.join(sdk_dir(root, product), release + '-sdk.zip'),
                                  'rb') as f:
                            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest)


class Demo(unittest.TestCase):
    def test_lu_sign_in_repack_flash_and_quit(self):
        with Bed() as bed:
            catalogue.generate(bed.mirror.root)
            accounts = demo.ensure_account(os.path.join(bed.tmp, 'accounts'))
            bed.mirror.set_ldap_reply(accounts.reply)
            # The bed shortens the boot wait to about two seconds, so the
            # board boots half a second after its reset instead of three.
            demo.configure_board(bed.state, progress_seconds=0.05, boot_after_seconds=0.5)
            s = bed.spawn()
            sign_in(s, demo.DEMO_MAIL, demo.DEMO_PASSWORD)
            s.expect(GREEN + b'Successful authentication.' + RESET)
            s.expect('(overwrites existing files, default: ')
            s.sendline(bed.target)
            s.expect('Proceed [Y/n]? ')
            s.sendline('y')
            s.expect('to continue with: ')
            s.sendline('6')
            s.expect('1: kt6-lu-2.1.0 (latest version)\n')
            s.expect(') to continue with: ')
            s.sendline('1')
            s.expect('> ')
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect(b'You may proceed to flash full_build to your device', timeout=120)
            s.expect('> ')
            s.sendline('2')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            # Two boards: the program asks which one.
            s.expect("Select one number of board ( 1 - 2 ) to flash, 'q' to main menu: ")
            s.sendline('1')
            # The demo board checks every description and image it is sent.
            out = s.expect(b'Robotics device is ready to use.', timeout=180)
            self.assertNotIn(b'not found', out)
            self.assertIn(b'fh_loader: programming rawprogram_unsparse0.xml 100%\n', out)
            # Every image of the release, the repacked system image's chunks
            # included, is on the board where the descriptions place it.
            release = os.path.join(bed.target, 'kt6-lu-2.1.0')
            self.assertEqual(storage.differences(bed.state, release), [])
            held = storage.storage(bed.state)
            self.assertIn('system_2.img', [e['file'] for e in held.values()])
            self.assertEqual(storage.bytes_written(bed.state),
                             sum(e['length'] for e in held.values()))
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            # Once seen booted, the board is soon back in download mode.
            deadline = time.monotonic() + 20
            while board_state(bed)['mode'] != 'download' and time.monotonic() < deadline:
                time.sleep(0.2)
            self.assertEqual(board_state(bed)['mode'], 'download')
            self.assertEqual([r.path for r in bed.mirror.requests_for('/ldap.php')],
                             ['/ldap.php'])

    def test_runs_with_arguments_list_download_flash_both_boards_and_log(self):
        build = os.environ.get('OSTRELLE_BUILD_DIR', os.path.join(SOURCE_DIR, 'build'))
        with tempfile.TemporaryDirectory() as tmp:
            def make_demo(*args):
                # What make demo ARGS='...' runs, kept in tmp and off the demo's ports.
                r = subprocess.run(
                    [sys.executable, os.path.join(SOURCE_DIR, 'tools', 'demo', 'demo.py'),
                     '--build-dir', build, '--demo-dir', tmp, '--any-ports', '--quick', '--']
                    + list(args), stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
                return r.returncode, r.stdout, r.stderr.decode()

            status, out, err = make_demo('list', 'releases', '--product', 'kt1', '--platform',
                                         'LE', '--json')
            self.assertEqual(status, 0, err)
            self.assertEqual(json.loads(out)['releases'][0]['latest'], True)
            status, out, err = make_demo('--product', 'kt1', '--release', 'latest', 'download')
            self.assertEqual(status, 0, out + err.encode())
            self.assertIn(b'"commands":[{"command":"download","result":"pass"}]', out)
            password = os.path.join(tmp, 'sandbox', 'demo-password')
            self.assertEqual(os.stat(password).st_mode & 0o777, 0o600)
            # The next run finds the download and flashes both boards at once.
            status, out, err = make_demo('--product', 'kt1', '--release', 'latest', 'flash',
                                         '--all-boards')
            self.assertEqual(status, 0, out + err.encode())
            self.assertIn(b'"commands":[{"command":"flash","result":"pass"}]', out)
            ports = {a[1] for a in read_tool_log(tmp, 'QSaharaServer') if a[0] == '-p'}
            self.assertEqual(ports, {'/dev/ttyUSB1', '/dev/ttyUSB2'})
            log = re.search(r'^demo: the run log: (.*)$', err, re.M).group(1)
            with open(log) as f:
                text = f.read()
            self.assertIn('command flash: ok', text)
            self.assertNotIn(demo.DEMO_PASSWORD, text)


def read_tool_log(demo_dir, tool):
    """The argument lists a fake tool of the demo's sandbox was called with."""
    try:
        with open(os.path.join(demo_dir, 'sandbox', 'logs', tool + '.log')) as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


if __name__ == '__main__':
    unittest.main()
