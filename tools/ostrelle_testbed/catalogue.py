"""Builds the demo's sample catalogue: a small but complete resource server tree.

For every product and platform tag of the set-up dialogue there is a release
configuration file with two or three releases, and for each release its
package with the whole layout commands 1 and 2 use (release_files.py). The
LE products (kt1, kt2, kt5) also get their toolchain version list and one
SDK toolchain package per LE release. kt1 and kt2 releases carry an eMMC
full build besides the UFS one, so command 2 flashes them as eMMC boards.
The oldest kt6 release brings a Debian package of its own, so command 1
shows the audit's warning and question there.

The tree is cached: it is rebuilt only when missing or when this generator
or the package builders have changed.

    PYTHONPATH=tools python3 -m ostrelle_testbed.catalogue [--cache DIR] [--force]
"""

import argparse
import hashlib
import os
import shutil
import sys
import tempfile

from .release_files import release_package, sha256, toolchain_package

HERE = os.path.dirname(os.path.abspath(__file__))

RESOURCE_PREFIX = 'uploads/web/ostrelle'

# Products in the order of the product menu, with their platform tags.
PRODUCT_TAGS = [
    ('kt1', ['_le_']),
    ('kt2', ['_le_']),
    ('kt3gen2', ['_lu_']),
    ('kt5', ['_lu_', '_lu1.0_', '_lu2.0_', '_le_', '_le1.0_', '_le2.0_']),
    ('kt5n', ['_lu2.0_']),
    ('kt6', ['_lu_']),
    ('mx7200', ['_lu_']),
]
EMMC_PRODUCTS = ('kt1', 'kt2')
VERSIONS = ['2.1.0', '2.0.1', '1.4.0']
EXTRA_DEB_RELEASES = {'kt6-lu-1.4.0': ['vendor-tools.deb']}
STAMP_FILE = 'generator.sha256'


def release_names(product, tag):
    """The releases of one list, latest first: three for products with one
    platform, two for each of kt5's six."""
    count = 3 if len(dict(PRODUCT_TAGS)[product]) == 1 else 2
    plat = tag.strip('_')
    return ['%s-%s-%s' % (product, plat, v) for v in VERSIONS[:count]]


def fingerprint():
    """Digest of the code that shapes the catalogue."""
    digest = hashlib.sha256()
    for name in ('catalogue.py', 'release_files.py'):
        with open(os.path.join(HERE, name), 'rb') as f:
            digest.update(f.read())
    return digest.hexdigest()


def _write(root, product, name, data):
    path = os.path.join(root, RESOURCE_PREFIX, product, 'sdk', name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data.encode() if isinstance(data, str) else data)


def generate(root):
    """Writes the whole catalogue below root (the mirror's root)."""
    for product, tags in PRODUCT_TAGS:
        storages = ('ufs', 'emmc') if product in EMMC_PRODUCTS else ('ufs',)
        toolchains = []
        for tag in tags:
            platform = 'lu' if tag.startswith('_lu') else 'le'
            lines = []
            for release in release_names(product, tag):
                package = release_package(release, storages=storages, flashable=platform,
                                          extra_debs=EXTRA_DEB_RELEASES.get(release, ()))
                _write(root, product, release + '.zip', package)
                lines.append('%s %s\n' % (release, sha256(package)))
                if platform == 'le':
                    sdk = toolchain_package(release)
                    _write(root, product, release + '-sdk.zip', sdk)
                    toolchains.append('%s %s\n' % (release, sha256(sdk)))
            _write(root, product, product + tag + 'release_ver.txt', ''.join(lines))
        if toolchains:
            _write(root, product, product + '_le_toolchain_ver.txt', ''.join(toolchains))


def ensure(cache_dir, force=False):
    """The catalogue root below cache_dir, built first when missing or made
    by another version of the generator. Returns (root, built)."""
    root = os.path.join(cache_dir, 'root')
    stamp = os.path.join(cache_dir, STAMP_FILE)
    want = fingerprint()
    if not force and os.path.isdir(root):
        try:
            with open(stamp) as f:
                if f.read().strip() == want:
                    return root, False
        except FileNotFoundError:
            pass
    os.makedirs(cache_dir, exist_ok=True)
    # Built aside and swapped in, so an interrupted build is never taken
    # for a complete one.
    work = tempfile.mkdtemp(prefix='catalogue-', dir=cache_dir)
    try:
        generate(os.path.join(work, 'root'))
        if os.path.lexists(stamp):
            os.unlink(stamp)
        shutil.rmtree(root, ignore_errors=True)
        os.rename(os.path.join(work, 'root'), root)
        with open(stamp, 'w') as f:
            f.write(want + '\n')
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return root, True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--cache', default=os.path.join('build', 'demo', 'catalogue'),
                        help='cache directory (default: build/demo/catalogue)')
    parser.add_argument('--force', action='store_true', help='rebuild even when up to date')
    args = parser.parse_args(argv)
    root, built = ensure(args.cache, args.force)
    print('%s catalogue in %s' % ('built' if built else 'up-to-date', root))
    return 0


if __name__ == '__main__':
    sys.exit(main())
