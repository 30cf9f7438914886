"""The modules of the build tree load in the interpreter (the runtime checks every laid-out
record against the native one at that point) and expose exactly their functions."""
import importlib
import os
import pathlib

import pytest

from bindings_helpers import leaf
from declarations import DETAILED, ENUMS, MODULES, STRUCTS, TYPENAMES


def load(module):
    build = os.environ.get("ZENT_BUILD_DIR")
    if not build:
        pytest.skip("no build tree given")
    parts = module.split(".")
    lib_path = pathlib.Path(build, "py", *parts[:-1], leaf(module) + ".so")
    if not lib_path.exists():
        pytest.skip("%s not built yet" % module)
    return importlib.import_module(module)


@pytest.mark.parametrize("module", sorted(MODULES))
def test_exposes_exactly_the_table(module):
    mod = load(module)
    functions = {n for n in dir(mod.lib) if callable(getattr(mod.lib, n))}
    assert functions == MODULES[module][1]


@pytest.mark.parametrize("module", DETAILED)
def test_types_and_constants_survive_loading(module):
    mod = load(module)
    ffi, lib = mod.ffi, mod.lib
    for cname, fields in STRUCTS.get(module, {}).items():
        # Touching the fields runs the layout check against the native record.
        ct = ffi.typeof(cname)
        assert [n for n, _ in ct.fields] == [n for n, _ in fields]
        offsets = [ffi.offsetof(ct, n) for n, _ in fields]
        assert offsets == sorted(offsets)
    for name, target in TYPENAMES.get(module, {}).items():
        assert ffi.typeof(name) == ffi.typeof(target)
    for consts in ENUMS.get(module, {}).values():
        assert [getattr(lib, c) for c, _ in consts] == [v for _, v in consts]
