"""Helpers of the flashing scenarios: release directories with the files the
flashing sequences look for, the simulated board, and the argument lists the
flashing tools are expected to receive."""

import os
import re

from ostrelle_testbed import board

RELEASE = 'kt5le1.0'
# The package digest of RELEASE: the chosen release's check_sum, which the
# release's completion record must hold for the flashing commands to run.
DIGEST = 'f1a5' * 16

UFS_IMAGE_XMLS = ('rawprogram_unsparse0.xml,rawprogram1.xml,rawprogram2.xml,rawprogram3.xml,'
                  'rawprogram4.xml,rawprogram5.xml,patch0.xml,patch1.xml,patch2.xml,patch3.xml,'
                  'patch4.xml,patch5.xml')
NONHLOS_XMLS = ('rawprogram0.xml,rawprogram1.xml,rawprogram2.xml,rawprogram3.xml,'
                'rawprogram4.xml,rawprogram5.xml,patch0.xml,patch1.xml,patch2.xml,patch3.xml,'
                'patch4.xml,patch5.xml')


def _touch(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'w') as f:
        f.write(os.path.basename(path) + '\n')


def make_release(target, release=RELEASE, ufs=False, emmc=False, cdt=False, nonhlos=False,
                 digest=DIGEST):
    """Creates the release directory under target with the chosen builds and
    the completion record command "1" leaves (none for digest None);
    returns its path."""
    rel = os.path.join(target, release)
    os.makedirs(rel, exist_ok=True)
    if digest is not None:
        with open(os.path.join(rel, '.ostrelle-complete'), 'w') as f:
            f.write(digest + '\n')
    if ufs:
        for name in ('rawprogram_unsparse0.xml', 'prog_firehose_ddr.elf', 'patch0.xml'):
            _touch(os.path.join(rel, 'full_build', 'ufs', name))
    if emmc:
        for name in ('rawprogram_unsparse0.xml', 'prog_firehose_ddr.elf', 'patch0.xml'):
            _touch(os.path.join(rel, 'full_build', 'emmc', name))
    if cdt:
        for name in ('rawprogram3_iot_qrd.xml', 'patch3.xml', 'rawprogram2.xml', 'patch2.xml',
                     'prog_firehose_ddr.elf'):
            _touch(os.path.join(rel, 'cdt', name))
    if nonhlos:
        for name in ('rawprogram0.xml', 'patch0.xml', 'prog_firehose_ddr.elf'):
            _touch(os.path.join(rel, 'non_hlos', 'ufs', name))
    return rel


def board_in_download_mode(bed, node='/dev/ttyUSB0', **settings):
    """A board waiting in download mode on node, behind an unrelated
    USB-serial adapter."""
    index = int(node.rsplit('ttyUSB', 1)[1]) if 'ttyUSB' in node else 1
    board.configure(bed.state, ports=[board.other_port(index + 5),
                                      board.download_port(index, devname=node)], **settings)


def device_found(node='/dev/ttyUSB0'):
    """The line that names the board board_in_download_mode puts on node."""
    index = int(node.rsplit('ttyUSB', 1)[1]) if 'ttyUSB' in node else 1
    return b'Device found: %s (USB 1-%d, serial 7A3C%04X)\n' % (node.encode(), index + 2,
                                                                0x11F0 + index)


def no_board(bed):
    board.configure(bed.state, ports=[board.other_port(3)])


def board_state(bed, index=0):
    """The state of the scenario's first board (or of board number index)."""
    return board.boards(board.load(bed.state))[index]


def erase(node, rel, part, memory='UFS'):
    return ['--port=' + node, '--erase=%d' % part, '--noprompt', '--showpercentagecomplete',
            '--memoryname=' + memory, '--loglevel=1',
            '--porttracename=%s/erase%d.log' % (rel, part)]


def sendxml(node, xmls, search, memory, trace, reset=False):
    args = ['--port=' + node, '--sendxml=' + xmls, '--search_path=' + search, '--noprompt',
            '--showpercentagecomplete', '--memoryname=' + memory, '--loglevel=1',
            '--porttracename=' + trace]
    return args + ['--reset'] if reset else args


def sahara(node, programmer):
    return ['-p', node, '-s', '13:' + programmer]


def without_ls(output):
    """The output without the complaint of ls about a missing file, which the
    presence checks leave on standard error (merged into the output)."""
    return re.sub(rb"ls: cannot access '[^']*': No such file or directory\n", b'', output)
