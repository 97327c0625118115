"""Release packages and toolchain packages for the scenarios of commands 1 and 3.

A release package is a zip whose top level is the release directory. It
holds the layout the program expects of a release: the Debian packages with
their official digest list, a build script that writes rootfs/system.ext4
into the release directory, the sparse script with its partition layout,
the full builds for UFS and eMMC, cdt/ and non_hlos/ufs/.
"""

import hashlib
import io
import os
import zipfile

from testbed import TESTBED_HTTPS, resource_path

WGET = ['--retry-connrefused', '-t', '5', '-T', '30', '-q', '-c', '--passive-ftp',
        '--no-check-certificate']

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


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def url_path(product, name):
    """The request path wget sends for a file name (the characters it
    escapes in the names used here)."""
    escaped = name.replace('%', '%25').replace(' ', '%20').replace('{', '%7B').replace('}', '%7D')
    return resource_path(product, escaped)


def _add(z, name, data, mode=0o644):
    info = zipfile.ZipInfo(name)
    info.external_attr = (mode | (0o40000 if name.endswith('/') else 0o100000)) << 16
    z.writestr(info, data)


def release_package(release, build_script=BUILD_SCRIPT, extra_debs=(), sparse_dir=False,
                    deb_list=True):
    """The zip of a release. extra_debs: file names added to packages/deb-files
    beyond the official list; sparse_dir: ship an empty imgparser/sparse_image/;
    build_script None: no build script."""
    buf = io.BytesIO()
    top = release + '/'
    with zipfile.ZipFile(buf, 'w') as z:
        _add(z, top, b'', 0o755)
        for name, data in DEBS.items():
            _add(z, top + 'packages/deb-files/' + name, data)
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
        for storage in ('ufs', 'emmc'):
            _add(z, top + 'full_build/%s/prog_firehose_ddr.elf' % storage, b'programmer\n')
            _add(z, top + 'full_build/%s/rawprogram0.xml' % storage, RAWPROGRAM)
        _add(z, top + 'cdt/cdt.bin', b'cdt\n')
        _add(z, top + 'non_hlos/ufs/NON-HLOS.bin', b'non-hlos\n')
    return buf.getvalue()


def toolchain_package(release):
    """The zip of a release's SDK toolchain; it unpacks into sdk_toolchain/."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        _add(z, 'environment-setup-aarch64', 'export SDK=%s\n' % release)
        _add(z, 'sysroots/aarch64/usr/include/sdk.h', '/* sdk of %s */\n' % release)
    return buf.getvalue()


def package_fetch(target, release, product='kt5'):
    """The wget argument list of a release package fetch."""
    return WGET + ['--show-progress', '-P', target,
                   TESTBED_HTTPS + resource_path(product, release + '.zip')]


def list_files(directory):
    """The file names below directory, relative, sorted."""
    out = []
    for root, _, files in os.walk(directory):
        for name in files:
            out.append(os.path.relpath(os.path.join(root, name), directory))
    return sorted(out)
