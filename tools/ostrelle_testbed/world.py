"""The simulated host shared by the test bed and the demo.

install() fills a bin directory with the fake tools and gives the fakes
their starting state; environment() is what a program run among them needs.
Both the test bed (bed.py) and the demo (demo.py) use them, so the two
cannot drift apart.
"""

import os
import socket
import shutil

from . import hosts

PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
FAKES_DIR = os.path.join(PACKAGE_DIR, 'fakes')
# The directory that holds this package: the fakes, copied elsewhere, find
# it through PYTHONPATH.
TOOLS_DIR = os.path.dirname(PACKAGE_DIR)

# The simulated host is a ready Debian 12 (see hosts.py): these are the
# packages the host preparation looks for there, and the fake dpkg starts
# with all of them.
HOST_PACKAGES = list(hosts.HOSTS[hosts.DEFAULT].ready)
# User and group ids the test-bed build takes for its own: a user that is
# not root and belongs to the group owning serial ports.
USER_UID = '1000'


def root_dir(state_dir):
    """The simulated host's file system root (OSTRELLE_TESTBED_ROOT)."""
    return os.path.join(state_dir, 'root')


PROXY_VARIABLES = ('http_proxy', 'https_proxy', 'ftp_proxy', 'all_proxy', 'no_proxy')


def install(bin_dir, state_dir, wgetrc):
    """Copies every fake tool into bin_dir, makes the simulated host a ready
    Debian 12 (every host package installed, the cross loader and its link
    below root_dir) and writes an empty wget configuration (so wget reads no
    settings of the machine's user)."""
    for entry in os.listdir(FAKES_DIR):
        src = os.path.join(FAKES_DIR, entry)
        if os.path.isfile(src):
            dst = os.path.join(bin_dir, entry)
            shutil.copy2(src, dst)
            os.chmod(dst, 0o755)
    with open(os.path.join(state_dir, 'dpkg_installed'), 'w') as f:
        f.write(''.join(p + '\n' for p in HOST_PACKAGES))
    hosts.make_root(root_dir(state_dir))
    # Where the boards' flashing locks are.
    os.makedirs(os.path.join(root_dir(state_dir), 'run', 'lock'), exist_ok=True)
    open(wgetrc, 'w').close()


def free_port():
    """A loopback TCP port nothing listens on now."""
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def environment(base, home, bin_dir, state_dir, logs_dir, wgetrc, compiled, mirror,
                pause_scale=None):
    """base (a mapping such as os.environ) changed for a run among the fakes:
    HOME, the fakes first on PATH, their state and logs, this package on
    PYTHONPATH, no proxies, and the simulated host the test-bed build reads
    (its root directory, a user who is not root and the user's groups). compiled and mirror are (https, http) base URLs:
    those built into the program and those the mirror really listens on,
    which the fake wget puts in place of the first. pause_scale (a decimal
    text such as "0.02") shortens the flashing pauses of the test-bed build;
    None gives them their real length, whatever base says."""
    env = {k: v for k, v in base.items() if k.lower() not in PROXY_VARIABLES}
    python_path = [TOOLS_DIR] + [p for p in base.get('PYTHONPATH', '').split(os.pathsep)
                                 if p and p != TOOLS_DIR]
    env.update({
        'HOME': home,
        'PATH': bin_dir + os.pathsep + base.get('PATH', '/usr/bin:/bin'),
        'PYTHONPATH': os.pathsep.join(python_path),
        'OSTRELLE_FAKE_STATE': state_dir,
        'OSTRELLE_FAKE_LOGS': logs_dir,
        'OSTRELLE_TESTBED_HTTPS': compiled[0],
        'OSTRELLE_TESTBED_HTTP': compiled[1],
        'OSTRELLE_MIRROR_HTTPS': mirror[0],
        'OSTRELLE_MIRROR_HTTP': mirror[1],
        'WGETRC': wgetrc,
        'OSTRELLE_TESTBED_ROOT': root_dir(state_dir),
        'OSTRELLE_TESTBED_UID': USER_UID,
        'OSTRELLE_TESTBED_GROUPS': hosts.USER_GROUPS,
        # The program looks for an adb server on this port before it uses
        # adb: one nothing listens on, unless a scenario listens there to
        # play a server that was running before.
        'ANDROID_ADB_SERVER_PORT': str(free_port()),
    })
    env.pop('OSTRELLE_PAUSE_SCALE', None)
    if pause_scale is not None:
        env['OSTRELLE_PAUSE_SCALE'] = str(pause_scale)
    return env
