#!/usr/bin/python3
"""make demo: Ostrelle on this terminal against a local mirror and two simulated
boards (the code is ostrelle_testbed/demo.py).

    python3 tools/demo/demo.py [--build-dir build]
"""

import os
import runpy
import sys

# The test bed's package lies beside this directory, in tools/.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
runpy.run_module('ostrelle_testbed.demo', run_name='__main__', alter_sys=True)
