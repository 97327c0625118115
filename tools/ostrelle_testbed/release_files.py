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
# working directory and writes the -o layout there.
SPARSE_SCRIPT = '''#!/usr/bin/env python3
import argparse
import glob
import os

parser = argparse.ArgumentParser()
parser.add_argument('-i', required=True)
parser.add_argument('-s', required=True)
parser.add_argument('-o', required=True)
args = parser.parse_args()
with open(args.i) as f:
    layout = f.read()
chunks = []
for image in sorted(glob.glob(os.path.join(args.s, '*.ext4'))):
    base = os.path.splitext(os.path.basename(image))[0]
    with open(image, 'rb') as f:
        data = f.read()
    half = len(data) // 2
    for n, part in ((1, data[:half]), (2, data[half:])):
        name = '%s_%d.img' % (base, n)
        with open(name, 'wb') as f:
            f.write(part)
        chunks.append(name)
with open(args.o, 'w') as f:
    f.write(layout.replace('</data>', ''.join(
        '  <program filename="%s"/>\\n' % c for c in chunks) + '</data>'))
print('sparse images: ' + ' '.join(chunks))
'''

RAWPROGRAM = '<?xml version="1.0" ?>\n<data>\n</data>\n'

# The partition descriptions the flashing commands send, by directory.
UFS_XMLS = (['rawprogram_unsparse0.xml'] + ['rawprogram%d.xml' % n for n in range(1, 6)] +
            ['patch%d.xml' % n for n in range(6)])
EMMC_XMLS = ['rawprogram_unsparse0.xml', 'patch0.xml']
CDT_XMLS = ['rawprogram3_iot_qrd.xml', 'patch3.xml', 'rawprogram2.xml', 'patch2.xml']
NONHLOS_XMLS = ['rawprogram%d.xml' % n for n in range(6)] + ['patch%d.xml' % n for n in range(6)]

# Images named by the descriptions, with their partition labels.
FULL_IMAGES = {'xbl.elf': 'xbl', 'abl.elf': 'abl', 'boot.img': 'boot', 'system.img': 'system'}
NONHLOS_IMAGES = {'NON-HLOS.bin': 'modem', 'dspso.bin': 'dsp'}

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


def _layout(images):
    """A partition description naming images."""
    return ('<?xml version="1.0" ?>\n<data>\n' +
            ''.join('  <program filename="%s" label="%s"/>\n' % (name, label)
                    for name, label in sorted(images.items())) + '</data>\n')


def _image(release, name):
    return ('%s image of %s\n' % (name, release)).encode() * 64


def _flash_tree(z, top, release, platform, storages):
    """The complete files of the full builds, cdt/ and non_hlos/ufs/. On LU
    the UFS build lacks rawprogram_unsparse0.xml and the system image: the
    repack of command 1 makes them."""
    for storage in storages:
        d = top + 'full_build/%s/' % storage
        images = dict(FULL_IMAGES)
        xmls = UFS_XMLS if storage == 'ufs' else EMMC_XMLS
        if storage == 'ufs' and platform == 'lu':
            images.pop('system.img')
            xmls = xmls[1:]
        for name in xmls:
            _add(z, d + name, _layout(images) if name.startswith('rawprogram') else RAWPROGRAM)
        for name in images:
            _add(z, d + name, _image(release, name))
    for name in CDT_XMLS:
        _add(z, top + 'cdt/' + name, _layout({'cdt.bin': 'cdt'}))
    _add(z, top + 'cdt/prog_firehose_ddr.elf', b'programmer\n')
    d = top + 'non_hlos/ufs/'
    for name in NONHLOS_XMLS:
        _add(z, d + name, _layout(NONHLOS_IMAGES) if name.startswith('rawprogram') else RAWPROGRAM)
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
        _add(z, top + 'imgparser/rawprogram0.xml', RAWPROGRAM)
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
