#!/usr/bin/env python3
"""The simulated server's command line: the package fwsim/ beside this script (see README.md)."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from fwsim.cli import main  # noqa: E402  (the package fwsim/, not this script)

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
