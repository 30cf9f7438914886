"""Each module's declaration list parses, declares exactly the module's exposed functions
with their signatures, records, enumerations and type names, and generates a loadable
layer."""
import re
import subprocess
import sys
import sysconfig

import pytest

from bindings_helpers import C_COMPILER, GENERATOR, cdef_text, declared, function_ctype, leaf, \
    parsed, subprocess_env
from declarations import DETAILED, ENUMS, MODULES, OPAQUE, SIGNATURES, STRUCTS, TYPENAMES

ALL = sorted(MODULES)


@pytest.mark.parametrize("module", ALL)
def test_declares_exactly_the_exposed_functions(module):
    ffi = parsed(module)
    assert declared(ffi, "function") == MODULES[module][1]


@pytest.mark.parametrize("module", DETAILED)
def test_signatures(module):
    ffi = parsed(module)
    for name, (result, params) in SIGNATURES[module].items():
        fn = function_ctype(ffi, name)
        got = (fn.result, list(fn.args), fn.ellipsis)
        want = (ffi.typeof(result), [ffi.typeof(p) for p in params], False)
        assert got == want, name


@pytest.mark.parametrize("module", DETAILED)
def test_records_in_declaration_order(module):
    ffi = parsed(module)
    for cname, fields in STRUCTS.get(module, {}).items():
        ct = ffi.typeof(cname)
        assert ct.kind == "struct", cname
        assert [(n, f.type) for n, f in ct.fields] == \
            [(n, ffi.typeof(t)) for n, t in fields], cname
    for cname in OPAQUE.get(module, []):
        # Known by name only: no size, so the application cannot allocate or look inside.
        with pytest.raises(ValueError, match="unknown size"):
            ffi.sizeof(cname)


def test_capture_records_are_32_bit_words_on_the_camera():
    # The camera is ILP32: ints and pointers are one word each, which is what the native
    # records are laid out with; a long, a double or a nested record here would shift them.
    ffi = parsed("_orvex_video")
    for cname in STRUCTS["_orvex_video"]:
        for name, f in ffi.typeof(cname).fields:
            t = f.type
            assert t.kind == "pointer" or (t.kind == "primitive" and ffi.sizeof(t) == 4), \
                (cname, name)


def test_point_layout():
    ffi = parsed("stereo._aruco")
    assert ffi.sizeof("point_t") == 16
    assert ffi.alignof("point_t") == 8
    assert (ffi.offsetof("point_t", "x"), ffi.offsetof("point_t", "y")) == (0, 8)


@pytest.mark.parametrize("module", [m for m in DETAILED if m in TYPENAMES])
def test_type_names(module):
    ffi = parsed(module)
    want = TYPENAMES[module]
    for name, target in want.items():
        assert ffi.typeof(name) == ffi.typeof(target), name
    # No type names beyond the ones the application is given.
    extra = declared(ffi, "typedef") - set(want) - set(ENUMS.get(module, {})) - {"point_t"}
    assert not extra


@pytest.mark.parametrize("module", DETAILED)
def test_enumerations(module):
    ffi = parsed(module)
    enums = ENUMS.get(module, {})
    for tname, consts in enums.items():
        ct = ffi.typeof(tname)
        assert ct.kind == "enum"
        model = ffi._parser._declarations["typedef " + tname][0]
        assert list(zip(model.enumerators, model.enumvalues)) == consts
        # Unsigned 32-bit representation: -1 wraps instead of staying negative.
        assert ffi.sizeof(ct) == 4
        assert int(ffi.cast(tname, -1)) == 0xFFFFFFFF
    if not enums:
        assert not any(k.startswith("enum ") or k.startswith("anonymous ")
                       for k in ffi._parser._declarations
                       if k != "anonymous point_t")


def generate(module, tmp_path, header):
    out = tmp_path / (leaf(module) + "_cffi.c")
    cdef = tmp_path / "decls.cdef"
    cdef.write_text(cdef_text(module), encoding="utf-8")
    subprocess.run([sys.executable, str(GENERATOR), "--module", module, "--cdef", str(cdef),
                    "--header", str(header), "--out", str(out)],
                   check=True, env=subprocess_env(), capture_output=True)
    return out.read_text(encoding="utf-8")


def function_body(code, name):
    m = re.search(r"^_cffi_f_%s\(PyObject \*self, PyObject \*(\w+)\)\n\{(.*?)\n\}\n"
                  % re.escape(name), code, re.S | re.M)
    assert m, name
    return m.group(1), m.group(2)


@pytest.mark.parametrize("module", ALL)
def test_generated_layer(module, tmp_path):
    code = generate(module, tmp_path, tmp_path / "native.h")
    # The interpreter's init entry hands the registration record to the runtime.
    init = re.search(r"^init%s\(void\)\n\{\n(.*?)\n\}" % re.escape(leaf(module)), code,
                     re.S | re.M)
    assert init, "no init function"
    assert re.search(r'_cffi_init\("%s", 0x2601, &_cffi_type_context\);'
                     % re.escape(module), init.group(1))
    assert '#include "%s"' % (tmp_path / "native.h") in code

    # One wrapper per function, shaped by the parameter count, with the lock released
    # around the native call.
    ffi = parsed(module)
    for name in MODULES[module][1]:
        nargs = len(function_ctype(ffi, name).args)
        argname, body = function_body(code, name)
        if nargs == 0:
            assert argname == "noarg", name
        elif nargs == 1:
            assert argname == "arg0", name
        else:
            assert argname == "args", name
            assert 'PyArg_UnpackTuple(args, "%s", %d, %d,' % (name, nargs, nargs) in body
        call = re.search(r"Py_BEGIN_ALLOW_THREADS\n\s*_cffi_restore_errno\(\);\n"
                         r"\s*\{ (?:result = )?%s\(" % re.escape(name), body)
        assert call, name


@pytest.mark.parametrize("module", DETAILED)
def test_records_are_checked_at_load(module, tmp_path):
    code = generate(module, tmp_path, tmp_path / "native.h")
    table = re.search(r"_cffi_struct_unions\[\] = \{\n(.*?)\n\};", code, re.S)
    entries = dict(re.findall(r'\{ "([^"]+)", \d+, (\w+)', table.group(1))) if table else {}
    want = {}
    for cname in STRUCTS.get(module, {}):
        key = cname.split(" ", 1)[1] if cname.startswith("struct ") else "$" + cname
        want[key] = "_CFFI_F_CHECK_FIELDS"
    for cname in OPAQUE.get(module, []):
        want[cname.split(" ", 1)[1]] = "_CFFI_F_OPAQUE"
    assert entries == want


@pytest.mark.parametrize("module", DETAILED)
def test_layer_compiles_against_matching_header(module, tmp_path):
    # A header made of the same declarations, as the native side would declare them: the
    # generated layer's type, field and constant checks must all be valid C against it.
    header = tmp_path / "native.h"
    guard = "NATIVE_%s_H" % leaf(module).upper()
    header.write_text(
        "#ifndef %s\n#define %s\n#include <stddef.h>\n#include <stdint.h>\n#include <stdlib.h>\n"
        "#ifdef __cplusplus\nextern \"C\" {\n#endif\n%s\n#ifdef __cplusplus\n}\n#endif\n#endif\n"
        % (guard, guard, cdef_text(module)), encoding="utf-8")
    generate(module, tmp_path, header)
    src = tmp_path / (leaf(module) + "_cffi.c")
    res = subprocess.run([*C_COMPILER, "-fsyntax-only", "-Werror", "-Wall", "-Wno-unused-function",
                          "-I", sysconfig.get_paths()["include"], str(src)],
                         env=subprocess_env(), capture_output=True, text=True)
    assert res.returncode == 0, res.stderr
