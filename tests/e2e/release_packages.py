"""Release packages and toolchain packages for the scenarios of commands 1 and 3:
the builders of tools/demo/release_files.py, and the argument lists and
paths the scenarios compare."""

import os
import sys

from testbed import SOURCE_DIR, TESTBED_HTTPS, resource_path

sys.path.insert(0, os.path.join(SOURCE_DIR, 'tools', 'demo'))

# The package builders are shared with the demo's sample catalogue.
from release_files import (BUILD_SCRIPT, DEBS, FAILING_BUILD_SCRIPT, RAWPROGRAM,  # noqa: E402,F401
                           SPARSE_SCRIPT, release_package, sha256, toolchain_package)

WGET = ['--retry-connrefused', '-t', '5', '-T', '30', '-q', '-c', '--passive-ftp',
        '--no-check-certificate']


def url_path(product, name):
    """The request path wget sends for a file name (the characters it
    escapes in the names used here)."""
    escaped = name.replace('%', '%25').replace(' ', '%20').replace('{', '%7B').replace('}', '%7D')
    return resource_path(product, escaped)


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
