"""Introspection records exported by the shared object agree with the registry of operations
and with what the module registers."""

import ctypes
import inspect
import json
import re
import struct

import pytest
from support import OPERATIONS, operation_id

from tervalo import AVLTree
from tervalo import tervalo as ext

PREFIX = "TERVALO_INTROSPECTION_"
NAME = re.compile(rf"{PREFIX}(\d)_(\d+)$")


# EI_DATA, the ELF header's sixth byte: the byte order of every field that follows it.
BYTE_ORDERS = {1: "<", 2: ">"}


def dynamic_symbols(path):
    """Names the ELF dynamic symbol table defines (32- or 64-bit, either byte order)."""
    data = open(path, "rb").read()
    assert data[:4] == b"\x7fELF" and data[5] in BYTE_ORDERS
    order = BYTE_ORDERS[data[5]]
    wide = data[4] == 2

    def read(fields, at):
        return struct.unpack_from(order + fields, data, at)

    if wide:
        shoff, (shentsize, shnum) = read("Q", 0x28)[0], read("HH", 0x3A)
    else:
        shoff, (shentsize, shnum) = read("I", 0x20)[0], read("HH", 0x2E)
    sections = []
    for i in range(shnum):
        fields = "IIQQQQIIQQ" if wide else "IIIIIIIIII"
        _, kind, _, _, offset, size, link, _, _, entsize = read(fields, shoff + i * shentsize)
        sections.append((kind, offset, size, link, entsize))
    kind, offset, size, link, entsize = next(s for s in sections if s[0] == 11)  # SHT_DYNSYM
    strings_offset = sections[link][1]
    names = []
    for at in range(offset, offset + size, entsize):
        name_offset = read("I", at)[0]
        section_index = read("H", at + (6 if wide else 14))[0]
        if section_index == 0:  # SHN_UNDEF: imported, not exported
            continue
        end = data.index(b"\0", strings_offset + name_offset)
        names.append(data[strings_offset + name_offset : end].decode())
    return names


@pytest.fixture(scope="module")
def records():
    library = ctypes.CDLL(ext.__file__)
    found = {}
    for name in dynamic_symbols(ext.__file__):
        if not name.startswith(PREFIX):
            continue
        match = NAME.match(name)
        assert match and match.group(1) == "1", name
        # The length is written little-endian on every machine (tools/generate_surface.py).
        size = int.from_bytes(bytes((ctypes.c_ubyte * 4).in_dll(library, name)), "little")
        blob = bytes((ctypes.c_ubyte * (4 + size)).in_dll(library, name))[4:]
        found[int(match.group(2))] = json.loads(blob.decode("utf-8"))
    return dict(sorted(found.items()))


def by_name(records, kind, name, parent=None):
    hits = [
        r
        for r in records.values()
        if r["type"] == kind and r["name"] == name and (parent is None or r["parent"] == parent)
    ]
    assert len(hits) == 1, (kind, name)
    return hits[0]


def test_one_record_per_documented_item(records):
    kinds = [r["type"] for r in records.values()]
    assert kinds.count("module") == 1 and kinds.count("class") == 2
    assert kinds.count("attribute") == 2
    assert kinds.count("function") == len(OPERATIONS) == len(records) - 5
    assert all(not r.get("incomplete", False) for r in records.values())


def test_shared_object_exports_only_the_init_function_and_the_records(records):
    exported = dynamic_symbols(ext.__file__)
    assert [name for name in exported if not name.startswith(PREFIX)] == ["PyInit_tervalo"]
    assert len(set(exported)) == len(exported) == 1 + len(records)


def test_module_and_classes(records):
    module = by_name(records, "module", "tervalo")
    assert module["doc"] == ext.__doc__
    tree = by_name(records, "class", "AVLTree")
    iterator = by_name(records, "class", "_AVLTreeIterator")
    function = by_name(records, "function", "_avltree_from_sorted_entries")
    assert module["members"] == [tree["id"], iterator["id"], function["id"]]
    assert tree["doc"] == AVLTree.__doc__ and iterator["doc"] == ext._AVLTreeIterator.__doc__
    assert tree["decorators"] == iterator["decorators"] == ["final"]
    for name in ("__version__", "__all__"):
        assert by_name(records, "attribute", name)["parent"] == module["id"]
        assert hasattr(ext, name)


def test_records_follow_the_registry(records):
    """The stub, which the records come from, lists the operations in the registry's order."""
    names = [r["name"] for r in records.values() if r["type"] == "function"]
    assert names == ["__new__" if op.kind == "constructor" else op.name for op in OPERATIONS]


# A recorded argument's group -> the kind the interpreter gives the parameter
GROUPS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


@pytest.mark.parametrize("op", OPERATIONS, ids=operation_id)
def test_record_of_each_operation(records, op):
    parent = by_name(records, "module" if op.owner is None else "class", op.owner or "tervalo")
    name = "__new__" if op.kind == "constructor" else op.name
    record = by_name(records, "function", name, parent["id"])
    assert record["doc"] == op.doc
    if op.kind == "property":
        assert record["decorators"] == ["property"] and record["returns"] == "int"
    else:
        assert record["decorators"] == []
    if op.signature is None:
        return
    # The parameters as the interpreter reads the registered signature, receiver bound.
    if op.kind == "constructor":
        runtime = AVLTree
    else:
        runtime = getattr({"AVLTree": AVLTree(), None: ext}[op.owner], op.name)
    expected = [
        (p.name, p.kind, None if p.default is p.empty else repr(p.default))
        for p in inspect.signature(runtime).parameters.values()
    ]
    recorded = [
        (a["name"], kind, a.get("default"))
        for group, kind in GROUPS.items()
        for a in record["arguments"][group]
    ]
    assert recorded[1 if op.owner else 0 :] == expected  # the receiver is bound
