"""Flash receipts and changed-only re-flashing on the simulated board: what a
flash wrote is kept per board, checked against the release, and a re-flash
after one image changed sends only that image."""

import io
import json
import os
import zipfile

import unittest

from ostrelle_testbed import board, storage
from ostrelle_testbed.bed import Bed
from ostrelle_testbed.release_files import release_package, sha256
from flashing import board_in_download_mode
from unattended_runs import answers, run

PRODUCT = 'kt1'


def renamed(package, release, changed=None):
    """The package as another release: its top directory renamed and, with
    changed ({path below the top: bytes}), those files replaced."""
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(package)) as src, zipfile.ZipFile(out, 'w') as dst:
        for info in src.infolist():
            data = src.read(info)
            rest = info.filename.split('/', 1)[1]
            data = (changed or {}).get(rest, data)
            new = zipfile.ZipInfo(release + '/' + rest)
            new.external_attr = info.external_attr
            dst.writestr(new, data)
    return out.getvalue()


def publish(bed, packages):
    """The releases on the mirror, the first one the latest."""
    for name, pkg in packages:
        bed.put(PRODUCT, name + '.zip', pkg)
    bed.put_list(PRODUCT, '_le_', ['%s %s' % (name, sha256(pkg)) for name, pkg in packages])


def back_to_download_mode(bed):
    def change(state):
        for b in board.boards(state):
            board.enter_download_mode(b)
        return state
    board.update(change, bed.state)


def last_receipt_path(bed):
    directory = os.path.join(bed.home, '.local', 'state', 'ostrelle', 'boards')
    names = os.listdir(directory)
    assert len(names) == 1, names
    return os.path.join(directory, names[0])


def load(path):
    with open(path) as f:
        return json.load(f)


def erases(bed):
    return [a for a in bed.tool_log('fh_loader') if any(x.startswith('--erase=') for x in a)]


class Receipts(unittest.TestCase):
    def test_full_flash_then_changed_only_sends_the_one_changed_image(self):
        with Bed() as bed:
            first = release_package('r1', flashable='le', storages=('ufs',))
            publish(bed, [('r1', first)])
            board_in_download_mode(bed, node='/dev/ttyUSB0', boot_after_polls=1)
            status, out = run(bed, ['--yes'] + answers(bed, PRODUCT) + ['download', 'flash'])
            self.assertEqual(status, 0, out)
            rel1 = os.path.join(bed.target, 'r1')
            self.assertEqual(storage.differences(bed.state, rel1), [])

            # The receipt in the board's log directory, and the same as the
            # board's last one; every image as it lies in the release.
            serial = '7A3C11F0'
            receipt_file = os.path.join(rel1, 'flash-logs', serial, 'receipt.json')
            receipt = load(receipt_file)
            self.assertEqual(receipt, load(last_receipt_path(bed)))
            self.assertEqual((receipt['board']['serial'], receipt['board']['usb_path']),
                             (serial, '1-2'))
            self.assertEqual((receipt['release']['name'], receipt['release']['package_sha256']),
                             ('r1', sha256(first)))
            self.assertEqual((receipt['storage'], receipt['flash'], receipt['result']),
                             ('UFS', 'full', 'booted'))
            held = storage.storage(bed.state)
            self.assertEqual(len(receipt['images']), 6)
            for image in receipt['images']:
                with open(os.path.join(rel1, image['directory'], image['file']), 'rb') as f:
                    data = f.read()
                self.assertEqual((image['size'], image['sha256']), (len(data), sha256(data)))
                place = held['%d:%s' % (image['partition'], image['start_sector'])]
                self.assertEqual((place['file'], place['sha256']), (image['file'], image['sha256']))
            self.assertEqual(len(receipt['tool_lines']), 9)
            self.assertTrue(receipt['tool_lines'][0].startswith('sudo QSaharaServer -p /dev/ttyUSB0'))

            # The receipt command shows it; verify-receipt finds the release
            # as the receipt says, and a tampered copy is caught.
            status, out = run(bed, ['receipt', '--board', serial])
            self.assertEqual(status, 0, out)
            self.assertIn(b'UFS storage, full flash, started ', out)
            self.assertIn(b'  sent full_build/ufs/boot.img -> partition 4 sector 262 (boot_a)', out)
            status, out = run(bed, ['verify-receipt', receipt_file])
            self.assertEqual((status, out.splitlines()[-1]),
                             (0, b'The receipt agrees with %s: 6 images' % rel1.encode()))
            tampered = dict(receipt, images=[dict(receipt['images'][0], sha256='0' * 64)] +
                            receipt['images'][1:])
            forged = os.path.join(bed.tmp, 'forged.json')
            with open(forged, 'w') as f:
                json.dump(tampered, f)
            status, out = run(bed, ['verify-receipt', forged])
            self.assertEqual(status, 1, out)
            self.assertIn(b'the receipt says %d bytes, sha256 %s' % (
                receipt['images'][0]['size'], b'0' * 64), out)
            self.assertTrue(out.endswith(b': 1 of 6 images differ\n'), out)

            # The next build changes the boot image alone (an eighth of the
            # bytes): only it reaches the board, with the release's patches.
            boot = b'a new boot image\n' * 200
            publish(bed, [('r2', renamed(first, 'r2', {'full_build/ufs/boot.img': boot})),
                          ('r1', first)])
            back_to_download_mode(bed)
            before_log = len(bed.tool_log('fh_loader'))
            before_bytes = storage.bytes_written(bed.state)
            status, out = run(bed, ['--yes'] + answers(bed, PRODUCT) + ['download', 'flash',
                                                                       '--changed-only'])
            self.assertEqual(status, 0, out)
            self.assertIn(b"Flashing the 1 of 6 images that changed since the board's last "
                          b"flash ...\n", out)
            rel2 = os.path.join(bed.target, 'r2')
            board_dir = os.path.join(rel2, 'flash-logs', serial)
            changed_xml = os.path.join(board_dir, 'changed-full_build-ufs-rawprogram4.xml')
            sent = bed.tool_log('fh_loader')[before_log:]
            self.assertEqual(sent, [[
                '--port=/dev/ttyUSB0',
                '--sendxml=' + changed_xml + ',patch0.xml,patch1.xml,patch2.xml,patch3.xml,'
                'patch4.xml,patch5.xml',
                '--search_path=' + rel2 + '/full_build/ufs/', '--noprompt',
                '--showpercentagecomplete', '--memoryname=UFS', '--loglevel=1',
                '--porttracename=' + rel2 + '/flash_image.log', '--reset']])
            with open(changed_xml) as f:
                text = f.read()
            self.assertIn('filename="boot.img" label="boot_a"', text)
            self.assertNotIn('abl.elf', text)
            self.assertEqual(storage.bytes_written(bed.state) - before_bytes, len(boot))
            self.assertEqual(storage.differences(bed.state, rel2), [])
            receipt = load(last_receipt_path(bed))
            self.assertEqual((receipt['flash'], receipt['result']), ('changed-only', 'booted'))
            self.assertEqual([i['file'] for i in receipt['images'] if i['sent']], ['boot.img'])

    def test_changed_only_falls_back_to_the_full_sequence_and_says_why(self):
        with Bed() as bed:
            publish(bed, [('r1', release_package('r1', flashable='le', storages=('ufs',)))])
            board_in_download_mode(bed, node='/dev/ttyUSB0', boot_after_polls=1)
            status, out = run(bed, answers(bed, PRODUCT) + ['download'])
            self.assertEqual(status, 0, out)

            def other_layout(receipt):
                receipt['images'][0]['start_sector'] = '300'
                return receipt

            def not_booted(receipt):
                receipt['result'] = 'not booted'
                return receipt

            for change, reason in ((None, b"no receipt of this board's last flash"),
                                   (other_layout, b"the release's partition layout differs from "
                                                  b"the board's last flash"),
                                   (not_booted, b"the board's last flash did not boot "
                                                b"(not booted)")):
                with self.subTest(reason=reason):
                    if change:
                        path = last_receipt_path(bed)
                        receipt = change(load(path))
                        with open(path, 'w') as f:
                            json.dump(receipt, f)
                    back_to_download_mode(bed)
                    before = len(erases(bed))
                    status, out = run(bed, answers(bed, PRODUCT) + ['flash', '--changed-only'])
                    self.assertEqual(status, 0, out)
                    self.assertIn(b'Flashing every image: ' + reason + b'\n', out)
                    # The full sequence: all six parts erased, everything sent.
                    self.assertEqual(len(erases(bed)) - before, 6)
                    self.assertEqual(storage.differences(bed.state,
                                                         os.path.join(bed.target, 'r1')), [])


if __name__ == '__main__':
    unittest.main()
