"""Introspection records exported by the shared object agree with what the module registers."""

import ctypes
import inspect
import json
import re
import struct

import pytest

from tervalo import AVLTree
from tervalo import tervalo as ext

PREFIX = "TERVALO_INTROSPECTION_"
NAME = re.compile(rf"{PREFIX}(\d)_(\d+)$")


def dynamic_symbols(path):
    """Names the ELF dynamic symbol table defines (32- or 64-bit, little-endian)."""
    data = open(path, "rb").read()
    assert data[:4] == b"\x7fELF" and data[5] == 1
    wide = data[4] == 2
    if wide:
        shoff, shentsize, shnum = struct.unpack_from("<Q", data, 0x28)[0], *struct.unpack_from(
            "<HH", data, 0x3A
        )
    else:
        shoff, shentsize, shnum = struct.unpack_from("<I", data, 0x20)[0], *struct.unpack_from(
            "<HH", data, 0x2E
        )
    sections = []
    for i in range(shnum):
        at = shoff + i * shentsize
        if wide:
            _, kind, _, _, offset, size, link, _, _, entsize = struct.unpack_from(
                "<IIQQQQIIQQ", data, at
            )
        else:
            _, kind, _, _, offset, size, link, _, _, entsize = struct.unpack_from(
                "<IIIIIIIIII", data, at
            )
        sections.append((kind, offset, size, link, entsize))
    kind, offset, size, link, entsize = next(s for s in sections if s[0] == 11)  # SHT_DYNSYM
    strings_offset = sections[link][1]
    names = []
    for at in range(offset, offset + size, entsize):
        name_offset = struct.unpack_from("<I", data, at)[0]
        section_index = struct.unpack_from("<H", data, at + (6 if wide else 14))[0]
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
        length = ctypes.c_uint32.in_dll(library, name).value.to_bytes(4, "little")
        size = int.from_bytes(length, "little")
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


def text_signature(record, receiver):
    arguments = record["arguments"]
    parts = []
    positional = arguments["posonlyargs"] + arguments["args"]
    for index, arg in enumerate(positional):
        name = receiver if index == 0 and receiver else arg["name"]
        if index == 0 and receiver == "":
            continue
        parts.append(f"{name}={arg['default']}" if "default" in arg else name)
        if arguments["posonlyargs"] and index == len(arguments["posonlyargs"]) - 1:
            parts.append("/")
    if arguments["kwonlyargs"]:
        parts.append("*")
        parts += [
            f"{a['name']}={a['default']}" if "default" in a else a["name"]
            for a in arguments["kwonlyargs"]
        ]
    return "(" + ", ".join(parts) + ")"


def test_one_record_per_documented_item(records):
    assert len(records) == 39
    kinds = [r["type"] for r in records.values()]
    assert kinds.count("module") == 1 and kinds.count("class") == 2
    assert kinds.count("attribute") == 2
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
    new = by_name(records, "function", "__new__", tree["id"])
    assert text_signature(new, "") == AVLTree.__text_signature__
    assert function["doc"] == ext._avltree_from_sorted_entries.__doc__
    assert text_signature(function, None) == ext._avltree_from_sorted_entries.__text_signature__
    for name in ("__version__", "__all__"):
        assert by_name(records, "attribute", name)["parent"] == module["id"]
        assert hasattr(ext, name)


PLAIN_METHODS = tuple(
    name for name in vars(AVLTree) if not name.startswith("__") and name != "height"
)


def test_methods_agree_with_registered_docstrings_and_signatures(records):
    tree_id = by_name(records, "class", "AVLTree")["id"]
    members = [r for r in records.values() if r.get("parent") == tree_id]
    # The method table's order, as registered, is the order of the records.
    in_table = [
        r["name"]
        for r in members
        if r["decorators"] != ["property"] and r["name"] in ("__reduce__",) + PLAIN_METHODS
    ]
    registered = [n for n, v in vars(AVLTree).items() if inspect.ismethoddescriptor(v)]
    assert in_table == [n for n in registered if n in in_table]
    assert len(in_table) == 24
    for record in members:
        runtime = getattr(AVLTree, record["name"])
        if record["decorators"] == ["property"]:
            assert record["doc"] == runtime.__doc__
            assert record["returns"] == "int"
        elif record["name"] == "__reduce__" or not record["name"].startswith("__"):
            assert record["doc"] == runtime.__doc__, record["name"]
            assert text_signature(record, "$self") == runtime.__text_signature__, record["name"]
        else:
            # Slots show the interpreter's own docstrings; the record documents the protocol.
            assert hasattr(AVLTree, record["name"]) and record["doc"]
