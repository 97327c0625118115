"""The storage of a simulated board, and what fh_loader writes into it.

fh_loader is sent partition descriptions (rawprogram*.xml with `program`
entries, patch*.xml with `patch` entries) and the images they name. The
board keeps, per physical partition (a UFS LUN; eMMC has one, 0) and start
sector, what was last written there: the image's name, its partition label,
the SHA-256 digest and length of the bytes written. A write cut short by a
lost board leaves the digest and length of what arrived, marked partial.
`patch` entries aimed at the device ("DISK") are kept per partition, start
sector and byte offset with their value; those aimed at a file on the host
change nothing on the board. `--erase=N` empties partition N.

The board's storage lives in its record in board.json: "storage" (key
"<partition>:<start sector>") and "patches" (key "<partition>:<start
sector>:<byte offset>"), and "bytes_written" counts every byte fh_loader
wrote since the board was configured.

Helpers for tests and benchmarks: storage(), bytes_written(),
expected_storage() (what a full flash of a release directory leaves) and
differences() (an empty list when the board holds exactly that).
"""

import hashlib
import os
import xml.etree.ElementTree as ElementTree

from . import board

# Bytes per sector when an entry does not say.
SECTOR_BYTES = {'UFS': 4096, 'eMMC': 512}

# What a full flash sends, in order, as (directory in the release, the
# descriptions): the CDT first, then the build.
FULL_FLASH = {
    'UFS': [('cdt', ['rawprogram3_iot_qrd.xml', 'patch3.xml']),
            ('full_build/ufs', ['rawprogram_unsparse0.xml'] +
             ['rawprogram%d.xml' % n for n in range(1, 6)] +
             ['patch%d.xml' % n for n in range(6)])],
    'eMMC': [('cdt', ['rawprogram2.xml', 'patch2.xml']),
             ('full_build/emmc', ['rawprogram_unsparse0.xml', 'patch0.xml'])],
}


class DescriptionError(Exception):
    """A description fh_loader cannot use; the message is the tool's."""


def key(partition, start_sector):
    return '%s:%s' % (partition, start_sector)


def number(text, default=0):
    try:
        return int(str(text).strip().rstrip('.'), 0)
    except ValueError:
        return default


def read_description(path):
    """The entries of one description, in order: ('program', attributes) and
    ('patch', attributes). Raises DescriptionError for a file that is no
    XML; returns [] for a missing one."""
    try:
        root = ElementTree.parse(path).getroot()
    except FileNotFoundError:
        return []
    except (ElementTree.ParseError, OSError) as e:
        raise DescriptionError('ERROR: could not parse %s: %s' % (path, e))
    return [(e.tag, dict(e.attrib)) for e in root if e.tag in ('program', 'patch')]


class Operation:
    """One thing fh_loader does to the storage: a program entry with its
    image's bytes, or a patch of the device."""

    def __init__(self, kind, partition, start_sector, attrs, data=b''):
        self.kind = kind
        self.partition = partition
        self.start_sector = start_sector
        self.attrs = attrs
        self.data = data


def plan(xmls, search_path, memory, strict=False):
    """The operations of a --sendxml call, in order: every program entry
    that names an image, every patch of the device. A description or image
    missing from search_path is an error on a strict board and skipped
    otherwise; an image larger than its partition is always an error."""
    operations = []
    missing = []
    default_sector = SECTOR_BYTES.get(memory, 4096)
    for xml in xmls:
        path = os.path.join(search_path, xml)
        if not os.path.isfile(path):
            missing.append(path)
            continue
        try:
            entries = read_description(path)
        except DescriptionError:
            if strict:
                raise
            entries = []
        for tag, attrs in entries:
            partition = number(attrs.get('physical_partition_number', 0))
            start = attrs.get('start_sector', '0').strip()
            if tag == 'patch':
                if attrs.get('filename') == 'DISK':
                    operations.append(Operation('patch', partition, start, attrs))
                continue
            name = attrs.get('filename', '')
            if not name:
                continue
            image = os.path.join(search_path, name)
            if not os.path.isfile(image):
                missing.append(image)
                continue
            with open(image, 'rb') as f:
                data = f.read()
            sector = number(attrs.get('SECTOR_SIZE_IN_BYTES'), default_sector) or default_sector
            sectors = attrs.get('num_partition_sectors')
            if sectors is not None and len(data) > number(sectors) * sector:
                raise DescriptionError(
                    'ERROR: %s (%d bytes) does not fit into partition %s (%s sectors of %d '
                    'bytes)' % (image, len(data), attrs.get('label', '?'), sectors, sector))
            operations.append(Operation('program', partition, start, attrs, data))
    if missing and strict:
        raise DescriptionError('\n'.join('ERROR: %s not found' % p for p in missing))
    return operations


def total_bytes(operations):
    return sum(len(op.data) for op in operations)


def apply(board_record, operations, limit=None):
    """Writes the operations into the board's storage; with limit, only
    that many bytes of images arrive (the entry being written when they run
    out is kept partial and nothing after it happens)."""
    storage = board_record.setdefault('storage', {})
    patches = board_record.setdefault('patches', {})
    left = limit
    for op in operations:
        if op.kind == 'patch':
            if left is not None and left <= 0:
                return
            patches['%s:%s' % (key(op.partition, op.start_sector),
                               op.attrs.get('byte_offset', '0'))] = {
                'size': op.attrs.get('size_in_bytes', ''),
                'value': op.attrs.get('value', ''),
            }
            continue
        data = op.data
        if left is not None:
            if left <= 0:
                return
            data = data[:left]
            left -= len(data)
        entry = {
            'label': op.attrs.get('label', ''),
            'file': op.attrs.get('filename', ''),
            'sha256': hashlib.sha256(data).hexdigest(),
            'length': len(data),
        }
        if len(data) < len(op.data):
            entry['partial'] = True
        storage[key(op.partition, op.start_sector)] = entry
        board_record['bytes_written'] = board_record.get('bytes_written', 0) + len(data)


def erase(board_record, partition):
    """--erase=N: partition N is empty afterwards."""
    prefix = '%s:' % partition
    for name in ('storage', 'patches'):
        table = board_record.setdefault(name, {})
        for k in [k for k in table if k.startswith(prefix)]:
            del table[k]


# -- For tests and benchmarks ----------------------------------------------

def storage(state_dir, index=0):
    """What board number index holds: {"<partition>:<start sector>":
    {"label", "file", "sha256", "length"[, "partial"]}}."""
    return board.boards(board.load(state_dir))[index].get('storage', {})


def patches(state_dir, index=0):
    return board.boards(board.load(state_dir))[index].get('patches', {})


def bytes_written(state_dir, index=0):
    """The bytes fh_loader wrote into board number index since it was
    configured."""
    return board.boards(board.load(state_dir))[index].get('bytes_written', 0)


def memory_of(release_dir):
    """The storage a full flash of release_dir writes, as the program
    chooses it: eMMC when the release carries an eMMC build."""
    return 'eMMC' if os.path.isdir(os.path.join(release_dir, 'full_build', 'emmc')) else 'UFS'


def expected_storage(release_dir, memory=None):
    """(storage, patches) that a full flash of release_dir leaves on a board:
    every program entry and device patch of the descriptions it sends, on
    storage erased first."""
    memory = memory or memory_of(release_dir)
    record = {}
    for directory, xmls in FULL_FLASH[memory]:
        apply(record, plan(xmls, os.path.join(release_dir, directory), memory, strict=True))
    return record.get('storage', {}), record.get('patches', {})


def differences(state_dir, release_dir, index=0, memory=None):
    """How board number index differs from a full flash of release_dir, one
    text per partition and start sector; [] when the storage equals the
    release. A release without images to write is never equal."""
    want, want_patches = expected_storage(release_dir, memory)
    record = board.boards(board.load(state_dir))[index]
    have, have_patches = record.get('storage', {}), record.get('patches', {})
    if not want:
        return ['%s names no image to write' % release_dir]
    out = []
    for k in sorted(set(want) | set(have)):
        if k not in have:
            out.append('%s: %s (%s) not written' % (k, want[k]['file'], want[k]['label']))
        elif k not in want:
            out.append('%s: %s (%s) is not part of the release' % (k, have[k]['file'],
                                                                 have[k]['label']))
        elif have[k] != want[k]:
            out.append('%s: holds %s, the release has %s' % (k, have[k], want[k]))
    for k in sorted(set(want_patches) | set(have_patches)):
        if want_patches.get(k) != have_patches.get(k):
            out.append('patch %s: holds %s, the release has %s' % (k, have_patches.get(k),
                                                                  want_patches.get(k)))
    return out
