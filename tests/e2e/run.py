#!/usr/bin/env python3
"""End-to-end tests: run the built tarnvell2 in a scratch folder and check its standard output,
exit status and every byte of its outputs. Expected outputs are built here independently of the
tool, and files written by sox, ffmpeg and Python's wave module are checked against sox's own
channel extraction. The tests live in one module per room of the tool, over helpers.py.

    run.py --tool build/tarnvell2 [--runner "qemu-arm"] [--oracles | --realworld | --staged |
           Class.test_name ...]
"""
import argparse
import importlib
import os
import sys
import unittest

import helpers

ROOMS = ["command_line", "formats", "metadata", "outputs", "batches", "streams", "readers", "docs"]
# Classes with a ctest suite of their own, each with what it needs to run.
OWN = {"oracles": "Oracles", "realworld": "RealWorld", "staged": "Staged", "docs": "Docs"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("--shim", help="the preloaded library that spoils --verify's reads")
    parser.add_argument("--oracles", action="store_true",
                        help="only the files of other programs; exit 77 (skipped) without sox")
    parser.add_argument("--realworld", action="store_true",
                        help="only the files of real programs in ../shared/realworld; exit 77 "
                        "(skipped) where the folder, sox or ffmpeg is missing")
    parser.add_argument("--staged", action="store_true",
                        help="only the runs staged with gdb (on the host)")
    parser.add_argument("--docs", action="store_true",
                        help="only the shell examples of the README and the manual (on the host)")
    args, rest = parser.parse_known_args()
    helpers.configure(args.tool, args.runner, args.shim)
    rooms = [importlib.import_module(r) for r in ROOMS
             if os.path.exists(os.path.join(os.path.dirname(os.path.abspath(__file__)), r + ".py"))]
    classes = {name: c for room in rooms for name, c in vars(room).items()
               if isinstance(c, type) and issubclass(c, unittest.TestCase)
               and c.__module__ == room.__name__}
    loader = unittest.defaultTestLoader
    if args.oracles and not helpers.have("sox"):
        print("skipped: sox is not installed (apt-get install sox ffmpeg)")
        sys.exit(77)
    if args.realworld and not (os.path.isdir(helpers.REALWORLD) and helpers.have("sox") and
                               helpers.have("ffmpeg")):
        print("skipped: needs %s, sox and ffmpeg" % os.path.normpath(helpers.REALWORLD))
        sys.exit(77)
    if args.docs and not all(helpers.have(t) for t in ("sox", "ffprobe", "arecord", "unshare")):
        print("skipped: the examples need sox, ffprobe, arecord and unshare")
        sys.exit(77)
    own = [OWN[k] for k in OWN if getattr(args, k)]
    if own:
        suite = loader.loadTestsFromTestCase(classes[own[0]])
    elif rest:
        suite = unittest.TestSuite(loader.loadTestsFromName(
            name, sys.modules[classes[name.split(".")[0]].__module__]) for name in rest)
    else:  # every class but those with a suite of their own, so that none is left out
        suite = unittest.TestSuite(loader.loadTestsFromTestCase(c) for name, c in classes.items()
                                   if name not in OWN.values())
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
