#!/usr/bin/python3
"""Emits a module's interpreter layer from its declaration list.

CFFI's out-of-line API mode: the declarations become a static type context plus one wrapper
per function (the interpreter lock is released around every native call), and the init
function hands that context to the `_cffi_backend` runtime. Nothing here is committed; the
build runs it each time the declaration list changes.
"""
import argparse
import os
import sys

import cffi


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--module", required=True, help="full import name, e.g. stereo._sievel")
    ap.add_argument("--cdef", required=True, help="declaration list")
    ap.add_argument("--header", required=True, help="C header declaring the native functions")
    ap.add_argument("--out", required=True, help="generated C file")
    args = ap.parse_args()

    with open(args.cdef, encoding="utf-8") as f:
        decls = f.read()
    ffi = cffi.FFI()
    ffi.cdef(decls)
    ffi.set_source(args.module, '#include "%s"\n' % os.path.abspath(args.header))
    tmp = args.out + ".tmp"
    ffi.emit_c_code(tmp)
    os.replace(tmp, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
