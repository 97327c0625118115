"""The host kinds the test bed can play: each one's package database (what
`apt-cache policy` shows) and the files its cross C library ships.

Where each model comes from:

- debian12: `apt-cache policy` on the Debian 12 (bookworm, amd64; main and
  bookworm-security) machine this test bed was written on, copied as printed;
  the loader layout from the file list of libc6-arm64-cross 2.36-8cross1.
- ubuntu1804, ubuntu2204, ubuntu2404: the published package lists of Ubuntu
  18.04 (bionic), 22.04 (jammy) and 24.04 (noble), amd64, main and universe,
  release and -updates pockets, as recalled from them (not downloaded: this
  machine reaches no archive but Debian's). The versions are indicative;
  what the scenarios rely on is which names exist and which have an install
  candidate: bionic still has `python` (2.7) and `android-tools-adb`, and no
  `python-is-python3`; jammy and noble have neither of the first two but
  `python3`, `python-is-python3` and `adb`. A name that no package provides
  shows as an entry without candidate when other packages still refer to it
  (bookworm's `python`, as printed here) and not at all otherwise; the
  models use both forms.
- Loader files: glibc up to 2.33 installs ld-2.NN.so with ld-linux-aarch64.so.1
  as a link to it (bionic: 2.27); from 2.34 on the loader is installed as
  ld-linux-aarch64.so.1 itself (jammy 2.35, bookworm 2.36, noble 2.39).

make_root() lays out such a host below a directory that the test-bed build
reads as / ($OSTRELLE_TESTBED_ROOT): the cross loader, the link in /lib,
/etc/group, /dev, /proc and /sys/bus/usb/devices.
"""

import collections
import os

Host = collections.namedtuple('Host', 'title packages ready loader')

# A fake loader: the first bytes of a 64-bit little-endian AArch64 ELF shared
# object, which is all the program looks at.
ARM_LOADER = (b'\x7fELF\x02\x01\x01\x00' + bytes(8) + b'\x03\x00\xb7\x00\x01\x00\x00\x00'
              + bytes(40))
# The same for x86-64: a loader, but not an Arm one.
X86_LOADER = ARM_LOADER[:18] + b'\x3e\x00' + ARM_LOADER[20:]

CROSS_LIB = 'usr/aarch64-linux-gnu/lib'
LOADER_LINK = 'lib/ld-linux-aarch64.so.1'
# Group ids of the simulated /etc/group; the run's user belongs to USER_GROUPS.
DIALOUT_GID = 20
USER_GID = 1000
USER_GROUPS = '%d,%d' % (USER_GID, DIALOUT_GID)

_COMMON = ['libc6-arm64-cross', 'fakechroot', 'fakeroot', 'qemu-user-static', 'wget', 'udev',
           'unzip', 'coreutils', 'dpkg']

HOSTS = {
    'debian12': Host(
        title='Debian 12 (bookworm)',
        packages={
            'python': None,
            'android-tools-adb': None,
            'python3': '3.11.2-1+b1',
            'python-is-python3': '3.11.2-1+deb12u1',
            'adb': '1:29.0.6-28',
            'libc6-arm64-cross': '2.36-8cross1',
            'fakechroot': '2.20.1+ds-15',
            'fakeroot': '1.31-1.2',
            'qemu-user-static': '1:7.2+dfsg-7+deb12u18+b3',
            'wget': '1.21.3-1+deb12u1',
            'udev': '252.39-1~deb12u2',
            'unzip': '6.0-28+deb12u1',
            'coreutils': '9.1-1',
            'dpkg': '1.21.23',
            'kmod': '30+20221128-1',
        },
        ready=['adb'] + _COMMON + ['python3', 'python-is-python3', 'kmod'],
        loader='ld-linux-aarch64.so.1'),
    'ubuntu1804': Host(
        title='Ubuntu 18.04 (bionic)',
        packages={
            'python': '2.7.15~rc1-1',
            'android-tools-adb': '5.1.1.r38-1.1',
            'python3': '3.6.7-1~18.04',
            'adb': '1:8.1.0+r23-5~18.04',
            'libc6-arm64-cross': '2.27-3ubuntu1cross1',
            'fakechroot': '2.19-3',
            'fakeroot': '1.22-2ubuntu1',
            'qemu-user-static': '1:2.11+dfsg-1ubuntu7',
            'wget': '1.19.4-1ubuntu2',
            'udev': '237-3ubuntu10',
            'unzip': '6.0-21ubuntu1',
            'coreutils': '8.28-1ubuntu1',
            'dpkg': '1.19.0.5ubuntu2',
            'kmod': '24-1ubuntu3',
        },
        ready=['android-tools-adb'] + _COMMON + ['python', 'kmod'],
        loader='ld-2.27.so'),
    'ubuntu2204': Host(
        title='Ubuntu 22.04 (jammy)',
        packages={
            'python': None,
            'android-tools-adb': None,
            'python3': '3.10.6-1~22.04',
            'python-is-python3': '3.9.2-2',
            'adb': '1:10.0.0+r36-9',
            'libc6-arm64-cross': '2.35-0ubuntu1cross3',
            'fakechroot': '2.20.1+ds-2',
            'fakeroot': '1.28-1ubuntu1',
            'qemu-user-static': '1:6.2+dfsg-2ubuntu6',
            'wget': '1.21.2-2ubuntu1',
            'udev': '249.11-0ubuntu3',
            'unzip': '6.0-26ubuntu3',
            'coreutils': '8.32-4.1ubuntu1',
            'dpkg': '1.21.1ubuntu2',
            'kmod': '29-1ubuntu1',
        },
        ready=['adb'] + _COMMON + ['python3', 'python-is-python3', 'kmod'],
        loader='ld-linux-aarch64.so.1'),
    'ubuntu2404': Host(
        title='Ubuntu 24.04 (noble)',
        packages={
            'python3': '3.12.3-0ubuntu1',
            'python-is-python3': '3.11.4-1',
            'adb': '1:34.0.4-1',
            'libc6-arm64-cross': '2.39-0ubuntu8cross1',
            'fakechroot': '2.20.1+ds-17',
            'fakeroot': '1.33-1',
            'qemu-user-static': '1:8.2.2+ds-0ubuntu1',
            'wget': '1.21.4-1ubuntu4',
            'udev': '255.4-1ubuntu8',
            'unzip': '6.0-28ubuntu4',
            'coreutils': '9.4-3ubuntu6',
            'dpkg': '1.22.6ubuntu6',
            'kmod': '31+20240202-2ubuntu7',
        },
        ready=['adb'] + _COMMON + ['python3', 'python-is-python3', 'kmod'],
        loader='ld-linux-aarch64.so.1'),
}

DEFAULT = 'debian12'


def cross_loader_path(kind):
    """The loader file the cross C library of kind ships, as the host names it."""
    return '/' + CROSS_LIB + '/' + HOSTS[kind].loader


def install_cross_library(root, kind):
    """Puts the loader files of kind's libc6-arm64-cross below root."""
    lib = os.path.join(root, CROSS_LIB)
    os.makedirs(lib, exist_ok=True)
    loader = HOSTS[kind].loader
    with open(os.path.join(lib, loader), 'wb') as f:
        f.write(ARM_LOADER)
    if loader != 'ld-linux-aarch64.so.1':
        soname = os.path.join(lib, 'ld-linux-aarch64.so.1')
        if os.path.lexists(soname):
            os.remove(soname)
        os.symlink(loader, soname)


def set_link(root, target):
    """Makes root's /lib/ld-linux-aarch64.so.1 a link to target (a path as
    the host names it), or removes it when target is None."""
    link = os.path.join(root, LOADER_LINK)
    if os.path.lexists(link):
        os.remove(link)
    if target is not None:
        os.symlink(target, link)


def make_root(root, kind=DEFAULT, cross=True, link=True):
    """Lays out a host of kind below root: its cross loader (cross), the
    loader link pointing at it (link), the groups, and empty /dev, /proc,
    /sys/bus/usb/devices and udev rules directories."""
    for d in ('lib', 'etc/udev/rules.d', 'dev', 'proc', 'sys/bus/usb/devices'):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(os.path.join(root, 'etc/group'), 'w') as f:
        f.write('root:x:0:\ndialout:x:%d:user\nuser:x:%d:\n' % (DIALOUT_GID, USER_GID))
    if cross:
        install_cross_library(root, kind)
    set_link(root, cross_loader_path(kind) if link else None)
