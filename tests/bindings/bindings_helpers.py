"""Helpers of the declaration tests: where the declaration lists and the built modules live, and parsing."""
import os
import pathlib
import shlex

import cffi
import cffi.model
import pytest

from declarations import MODULES

HERE = pathlib.Path(__file__).resolve().parent
SOURCE_DIR = pathlib.Path(os.environ.get("ZENT_SOURCE_DIR") or HERE.parents[1])
BINDINGS = SOURCE_DIR / "bindings"
GENERATOR = BINDINGS / "gen_cffi.py"
# The C compiler for the interpreter's own machine: the cross compiler (with the target
# interpreter's headers) when the interpreter runs under emulation.
C_COMPILER = shlex.split(os.environ.get("ZENT_TEST_CC") or "gcc")


def cdef_text(module):
    """The module's declaration list, or a skip when it has not been written yet."""
    path = BINDINGS / MODULES[module][0]
    if not path.exists():
        pytest.skip("%s not written yet" % path.name)
    return path.read_text(encoding="utf-8")


def parsed(module):
    ffi = cffi.FFI()
    ffi.cdef(cdef_text(module))
    return ffi


def declared(ffi, kind):
    """Names of the parsed declarations of one kind ("function", "struct", "typedef")."""
    prefix = kind + " "
    return {k[len(prefix):] for k in ffi._parser._declarations if k.startswith(prefix)}


def function_ctype(ffi, name):
    tp = ffi._parser._declarations["function " + name][0]
    if not isinstance(tp, cffi.model.FunctionPtrType):
        tp = tp.as_function_pointer()
    return ffi.typeof(tp.get_c_name())


def leaf(module):
    return module.rsplit(".", 1)[-1]


def subprocess_env():
    """The environment for helper tools: the sanitizer preload belongs to the interpreter
    under test, not to the compiler or the generator."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env
