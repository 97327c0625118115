#!/usr/bin/python3
"""The local mirror as a command (the code is ostrelle_testbed/mirror.py):

    python3 tools/mirror/mirror.py --root DIR --accounts FILE
    python3 tools/mirror/mirror.py add-account FILE EMAIL

See README.md here.
"""

import os
import runpy
import sys

# The test bed's package lies beside this directory, in tools/.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
runpy.run_module('ostrelle_testbed.mirror', run_name='__main__', alter_sys=True)
