#!/usr/bin/env python3
"""The simulator from a kelpie checkout, without installing kelpie: `kelpie-sim` by another name."""

import sys

from kelpie_sim.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="hdc_sim.py"))
