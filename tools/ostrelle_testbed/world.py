"""The simulated host shared by the test bed and the demo.

install() fills a bin directory with the fake tools and gives the fakes
their starting state; environment() is what a program run among them needs.
Both the test bed (bed.py) and the demo (demo.py) use them, so the two
cannot drift apart.
"""

import os
import shutil

PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
FAKES_DIR = os.path.join(PACKAGE_DIR, 'fakes')
# The directory that holds this package: the fakes, copied elsewhere, find
# it through PYTHONPATH.
TOOLS_DIR = os.path.dirname(PACKAGE_DIR)

# Packages the host preparation checks for; the fake dpkg starts with all.
HOST_PACKAGES = ['android-tools-adb', 'libc6-arm64-cross', 'fakechroot', 'fakeroot',
                 'qemu-user-static', 'wget', 'udev', 'unzip', 'coreutils', 'dpkg',
                 'python', 'kmod']

PROXY_VARIABLES = ('http_proxy', 'https_proxy', 'ftp_proxy', 'all_proxy', 'no_proxy')


def install(bin_dir, state_dir, wgetrc):
    """Copies every fake tool into bin_dir, marks every host package as
    installed and writes an empty wget configuration (so wget reads no
    settings of the machine's user)."""
    for entry in os.listdir(FAKES_DIR):
        src = os.path.join(FAKES_DIR, entry)
        if os.path.isfile(src):
            dst = os.path.join(bin_dir, entry)
            shutil.copy2(src, dst)
            os.chmod(dst, 0o755)
    with open(os.path.join(state_dir, 'dpkg_installed'), 'w') as f:
        f.write(''.join(p + '\n' for p in HOST_PACKAGES))
    open(wgetrc, 'w').close()


def environment(base, home, bin_dir, state_dir, logs_dir, wgetrc, compiled, mirror,
                pause_scale=None):
    """base (a mapping such as os.environ) changed for a run among the fakes:
    HOME, the fakes first on PATH, their state and logs, this package on
    PYTHONPATH, no proxies. compiled and mirror are (https, http) base URLs:
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
    })
    env.pop('OSTRELLE_PAUSE_SCALE', None)
    if pause_scale is not None:
        env['OSTRELLE_PAUSE_SCALE'] = str(pause_scale)
    return env
