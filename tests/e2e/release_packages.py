"""What the scenarios of commands 1 and 3 compare: the argument lists of
the package fetches, the request paths, the files unpacked. The packages
themselves come from ostrelle_testbed.release_files."""

import os

from ostrelle_testbed.bed import TESTBED_HTTPS
from ostrelle_testbed.mirror import resource_path

WGET = ['--retry-connrefused', '-t', '5', '-T', '30', '-q', '-c', '--passive-ftp']


def wget_args(bed):
    """The options every fetch of the program starts with."""
    return WGET + bed.tls_args()


def url_path(product, name):
    """The request path wget sends for a file name (the characters it
    escapes in the names used here)."""
    escaped = name.replace('%', '%25').replace(' ', '%20').replace('{', '%7B').replace('}', '%7D')
    return resource_path(product, escaped)


def package_fetch(bed, target, release, product='kt5'):
    """The wget argument list of a release package fetch."""
    return wget_args(bed) + ['--show-progress', '-P', target,
                   TESTBED_HTTPS + resource_path(product, release + '.zip')]


def list_files(directory):
    """The file names below directory, relative, sorted."""
    out = []
    for root, _, files in os.walk(directory):
        for name in files:
            out.append(os.path.relpath(os.path.join(root, name), directory))
    return sorted(out)
