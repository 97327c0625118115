"""Release packages and SDK toolchain packages as the resource server holds them.

A release package is a zip whose top level is the release directory. It
holds the layout the program expects of a release: the Debian packages with
their official digest list, a build script that writes rootfs/system.ext4
into the release directory, the sparse script with its partition layout,
full builds for UFS and eMMC, cdt/ and non_hlos/ufs/.

Shared by the sample catalogue of the demo (catalogue.py) and the
end-to-end tests (tests/e2e/release_packages.py). Zip entries carry no
time stamp of their own, so the same arguments always give the same bytes.
"""

import hashlib
import io
import zipfile

DEBS = {'base-files.deb': b'official base-files package\n',
        'libfoo1.deb': b'official libfoo1 package\n'}

# Writes the system image into the release directory it lies in, from any
# working directory; the output goes to the terminal and repack.log.
BUILD_SCRIPT = '''#!/bin/sh
d=$(dirname "$0")
mkdir -p "$d/rootfs"
echo "building system image in $d"
printf 'ext4 image of %s\\n' "$(basename "$d")" > "$d/rootfs/system.ext4"
echo "build finished"
'''

# A build that fails without leaving an image.
FAILING_BUILD_SCRIPT = '''#!/bin/sh
echo "build failed: missing dependencies"
exit 1
'''

# Turns every ext4 image of the -s directory into two sparse chunks in the
# working directory and writes the -o layout there: the -i layout with the
# program entry of the image's partition (its label is the image's name)
# replaced by one entry per chunk, one after the other from the partition's
# start; an image without a partition in the layout gets bare entries.
SPARSE_SCRIPT = '''#!/usr/bin/env python3
import argparse
import glob
import os
import re

parser = argparse.ArgumentParser()
parser.add_argument('-i', required=True)
parser.add_argument('-s', required=True)
parser.add_argument('-o', required=True)
args = parser.parse_args()
with open(args.i) as f:
    layout = f.read()


def attr(entry, name, default=None):
    m = re.search(r'\\b%s="([^"]*)"' % name, entry)
    return m.group(1) if m else default


def chunk_entries(entry, names):
    sector = int(attr(entry, 'SECTOR_SIZE_IN_BYTES', '4096'))
    start = int(attr(entry, 'start_sector', '0'))
    out = ''
    for name in names:
        sectors = max(1, -(-os.path.getsize(name) // sector))
        e = re.sub(r'\\bfilename="[^"]*"', 'filename="%s"' % name, entry)
        e = re.sub(r'\\bstart_sector="[^"]*"', 'start_sector="%d"' % start, e)
        e = re.sub(r'\\bstart_byte_hex="[^"]*"', 'start_byte_hex="0x%x"' % (start * sector), e)
        e = re.sub(r'\\bnum_partition_sectors="[^"]*"', 'num_partition_sectors="%d"' % sectors, e)
        e = re.sub(r'\\bsize_in_KB="[^"]*"', 'size_in_KB="%.1f"' % (sectors * sector / 1024.0), e)
        out += '  ' + e + '\\n'
        start += sectors
    return out


chunks = []
for image in sorted(glob.glob(os.path.join(args.s, '*.ext4'))):
    base = os.path.splitext(os.path.basename(image))[0]
    with open(image, 'rb') as f:
        data = f.read()
    half = len(data) // 2
    names = []
    for n, part in ((1, data[:half]), (2, data[half:])):
        name = '%s_%d.img' % (base, n)
        with open(name, 'wb') as f:
            f.write(part)
        names.append(name)
    chunks += names
    entries = [m for m in re.findall(r'[ \\t]*<program [^>]*/>\\n?', layout)
               if attr(m, 'label') == base]
    if entries:
        layout = layout.replace(entries[0], chunk_entries(entries[0].strip(), names))
    else:
        layout = layout.replace('</data>', ''.join(
            '  <program filename="%s"/>\\n' % c for c in names) + '</data>')
with open(args.o, 'w') as f:
    f.write(layout)
print('sparse images: ' + ' '.join(chunks))
'''

RAWPROGRAM = '<?xml version="1.0" ?>\n<data>\n</data>\n'

# The partition descriptions the flashing commands send, by directory.
UFS_XMLS = (['rawprogram_unsparse0.xml'] + ['rawprogram%d.xml' % n for n in range(1, 6)] +
            ['patch%d.xml' % n for n in range(6)])
EMMC_XMLS = ['rawprogram_unsparse0.xml', 'patch0.xml']
CDT_XMLS = ['rawprogram3_iot_qrd.xml', 'patch3.xml', 'rawprogram2.xml', 'patch2.xml']
NONHLOS_XMLS = ['rawprogram%d.xml' % n for n in range(6)] + ['patch%d.xml' % n for n in range(6)]

SECTOR_BYTES = {'ufs': 4096, 'emmc': 512}

# Where the images go, as a full build's descriptions place them: per
# description, its physical partition (a UFS LUN; eMMC has one) and its
# partitions as (label, image or "" for a partition left empty, start
# sector, sectors). UFS partitions hold 4096-byte sectors, eMMC ones 512.
UFS_LAYOUT = {
    'rawprogram_unsparse0.xml': (0, [('system', 'system.img', 8, 65536),
                                     ('userdata', '', 65544, 1024)]),
    'rawprogram1.xml': (1, [('xbl_a', 'xbl.elf', 6, 896)]),
    'rawprogram2.xml': (2, [('xbl_b', 'xbl.elf', 6, 896)]),
    'rawprogram3.xml': (3, [('ddr', '', 6, 256)]),
    'rawprogram4.xml': (4, [('abl_a', 'abl.elf', 6, 256), ('boot_a', 'boot.img', 262, 24576)]),
    'rawprogram5.xml': (5, [('fsg', '', 6, 512)]),
}
EMMC_LAYOUT = {
    'rawprogram_unsparse0.xml': (0, [('xbl', 'xbl.elf', 34, 7168), ('abl', 'abl.elf', 7202, 2048),
                                     ('boot', 'boot.img', 9250, 196608),
                                     ('system', 'system.img', 205858, 524288)]),
}
CDT_LAYOUT = {
    'rawprogram3_iot_qrd.xml': ('ufs', 3, [('cdt', 'cdt.bin', 262, 32)]),
    'rawprogram2.xml': ('emmc', 0, [('cdt', 'cdt.bin', 730146, 256)]),
}
NONHLOS_LAYOUT = {
    'rawprogram%d.xml' % n: (n, [('modem_a', 'NON-HLOS.bin', 24838, 4096),
                                 ('dsp_a', 'dspso.bin', 28934, 1024)] if n == 4 else [])
    for n in range(6)
}

# Images of the full builds and NON-HLOS.
FULL_IMAGES = ['xbl.elf', 'abl.elf', 'boot.img', 'system.img']
NONHLOS_IMAGES = ['NON-HLOS.bin', 'dspso.bin']


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def _add(z, name, data, mode=0o644):
    """Adds one entry (the first of a name wins) with its file mode."""
    try:
        z.getinfo(name)
        return
    except KeyError:
        pass
    info = zipfile.ZipInfo(name)
    info.external_attr = (mode | (0o40000 if name.endswith('/') else 0o100000)) << 16
    z.writestr(info, data)


def rawprogram(storage, partition, partitions):
    """A rawprogram description: one program entry per partition, as
    (label, image, start sector, sectors)."""
    sector = SECTOR_BYTES[storage]
    lines = ['<?xml version="1.0" ?>\n<data>\n']
    for label, image, start, sectors in partitions:
        lines.append('  <program SECTOR_SIZE_IN_BYTES="%d" file_sector_offset="0" '
                     'filename="%s" label="%s" num_partition_sectors="%d" '
                     'physical_partition_number="%d" size_in_KB="%.1f" sparse="false" '
                     'start_byte_hex="0x%x" start_sector="%d"/>\n'
                     % (sector, image, label, sectors, partition, sectors * sector / 1024.0,
                        start * sector, start))
    return ''.join(lines) + '</data>\n'


def patch(storage, partition):
    """A patch description: the primary GPT header's CRC of the partition,
    as the device is patched after its partitions are written."""
    return ('<?xml version="1.0" ?>\n<patches>\n'
            '  <patch SECTOR_SIZE_IN_BYTES="%d" byte_offset="16" filename="DISK" '
            'physical_partition_number="%d" size_in_bytes="4" start_sector="1" '
            'value="CRC32(1,92)" what="Update Primary Header with CRC of Primary Header."/>\n'
            '  <patch SECTOR_SIZE_IN_BYTES="%d" byte_offset="16" filename="gpt_main%d.bin" '
            'physical_partition_number="%d" size_in_bytes="4" start_sector="1" '
            'value="CRC32(1,92)" what="Update Primary Header with CRC of Primary Header."/>\n'
            '</patches>\n' % (SECTOR_BYTES[storage], partition, SECTOR_BYTES[storage], partition,
                                partition))


NO_PATCHES = '<?xml version="1.0" ?>\n<patches>\n</patches>\n'


def _image(release, name):
    return ('%s image of %s\n' % (name, release)).encode() * 64


def _flash_tree(z, top, release, platform, storages):
    """The complete files of the full builds, cdt/ and non_hlos/ufs/: the
    descriptions place every image. On LU the UFS build lacks
    rawprogram_unsparse0.xml and the system image: the repack of command 1
    makes them from imgparser/rawprogram0.xml."""
    for storage in storages:
        d = top + 'full_build/%s/' % storage
        layout = UFS_LAYOUT if storage == 'ufs' else EMMC_LAYOUT
        images = list(FULL_IMAGES)
        xmls = UFS_XMLS if storage == 'ufs' else EMMC_XMLS
        if storage == 'ufs' and platform == 'lu':
            images.remove('system.img')
            xmls = xmls[1:]
        for name in xmls:
            if name.startswith('rawprogram'):
                _add(z, d + name, rawprogram(storage, *layout[name]))
            else:
                _add(z, d + name, patch(storage, int(name[len('patch'):-len('.xml')])))
        for name in images:
            _add(z, d + name, _image(release, name))
    for name in CDT_XMLS:
        if name in CDT_LAYOUT:
            _add(z, top + 'cdt/' + name, rawprogram(*CDT_LAYOUT[name]))
        else:
            _add(z, top + 'cdt/' + name, NO_PATCHES)
    _add(z, top + 'cdt/prog_firehose_ddr.elf', b'programmer\n')
    d = top + 'non_hlos/ufs/'
    for name in NONHLOS_XMLS:
        if name.startswith('rawprogram'):
            _add(z, d + name, rawprogram('ufs', *NONHLOS_LAYOUT[name]))
        else:
            _add(z, d + name, NO_PATCHES)
    for name in NONHLOS_IMAGES:
        _add(z, d + name, _image(release, name))
    _add(z, d + 'prog_firehose_ddr.elf', b'programmer\n')


def release_package(release, build_script=BUILD_SCRIPT, extra_debs=(), sparse_dir=False,
                    deb_list=True, storages=('ufs', 'emmc'), flashable=None, replaced_debs=None):
    """The zip of a release. extra_debs: file names added to packages/deb-files
    beyond the official list; replaced_debs: {name: data} shipped in place of
    official packages, the official list unchanged; sparse_dir: ship an empty imgparser/sparse_image/;
    build_script None: no build script; storages: the full builds shipped.
    flashable None gives the bare layout (a programmer and one description
    per full build, cdt/cdt.bin, non_hlos/ufs/NON-HLOS.bin); "le" or "lu"
    gives every file that the flashing commands send, for that platform."""
    buf = io.BytesIO()
    top = release + '/'
    with zipfile.ZipFile(buf, 'w') as z:
        _add(z, top, b'', 0o755)
        for name, data in DEBS.items():
            _add(z, top + 'packages/deb-files/' + name, (replaced_debs or {}).get(name, data))
        for name in extra_debs:
            _add(z, top + 'packages/deb-files/' + name, b'package of my own: ' + name.encode())
        if deb_list:
            _add(z, top + 'utils/files/deb_checksum',
                 ''.join('%s  %s\n' % (sha256(d), n) for n, d in sorted(DEBS.items())))
        if build_script is not None:
            _add(z, top + 'build-system.sh', build_script, 0o755)
        _add(z, top + 'imgparser/checksparse.py', SPARSE_SCRIPT, 0o755)
        # The system partition whose image the sparse script cuts into chunks.
        _add(z, top + 'imgparser/rawprogram0.xml',
             rawprogram('ufs', *UFS_LAYOUT['rawprogram_unsparse0.xml']) if flashable == 'lu'
             else RAWPROGRAM)
        if sparse_dir:
            _add(z, top + 'imgparser/sparse_image/', b'', 0o755)
        for storage in storages:
            _add(z, top + 'full_build/%s/prog_firehose_ddr.elf' % storage, b'programmer\n')
            _add(z, top + 'full_build/%s/rawprogram0.xml' % storage, RAWPROGRAM)
        _add(z, top + 'cdt/cdt.bin', b'cdt\n')
        _add(z, top + 'non_hlos/ufs/NON-HLOS.bin', b'non-hlos\n')
        if flashable:
            _flash_tree(z, top, release, flashable, storages)
    return buf.getvalue()


def toolchain_package(release):
    """The zip of a release's SDK toolchain; it unpacks into sdk_toolchain/."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        _add(z, 'environment-setup-aarch64', 'export SDK=%s\n' % release)
        _add(z, 'sysroots/aarch64/usr/include/sdk.h', '/* sdk of %s */\n' % release)
    return buf.getvalue()
