"""Generate the extension's documented surface from its stub file.

The stub ``src/tervalo/tervalo.pyi`` is the one place where the module's signatures and
docstrings are written. At build time this script turns it into

- ``surface_docs.h``: every docstring the module registers with the interpreter, with the
  ``name(signature)\\n--\\n\\n`` block the interpreter turns into ``__text_signature__``;
- ``introspection_records.cpp``: one exported read-only data symbol per documented item, a
  4-byte little-endian length followed by UTF-8 JSON, for tools that generate stubs.

So the stub that type checkers read, the docstrings ``help()`` shows and the records cannot
drift apart.

Usage: python generate_surface.py STUB OUTPUT_DIR
"""

from __future__ import annotations

import ast
import json
import sys
from pathlib import Path

RECORD_PREFIX = "TERVALO_INTROSPECTION_1_"
MODULE_NAME = "tervalo"

# Which parts of the stub become registered docstrings, and which only records. Every item in
# the stub gets an introspection record, except the classes in NOT_RECORDED; a function gets a
# registered docstring only when the module registers it by name:
#
# - NOT_RECORDED: classes documented (their docstring is registered) but private to the
#   runtime, so not part of the introspected surface.
# - METHOD_TABLE_OWNERS: the owners whose functions the module registers through a method
#   table (None stands for the module itself). Every other class only has slots (`__iter__`,
#   `__next__`), whose run-time docstrings are the interpreter's own.
# - Dunder methods are slots as well, except those named in DOC_NAMES (`__reduce__` is an
#   ordinary method that pickling looks up by name).
# - DOC_NAMES: the C++ names of the docstrings whose name is not the default `k` + CamelCase
#   of the Python name; every recorded class needs an entry.
NOT_RECORDED = {"PanicException"}
METHOD_TABLE_OWNERS: set[str | None] = {None, "AVLTree"}
DOC_NAMES = {
    "AVLTree": "kTree",
    "_AVLTreeIterator": "kIterator",
    "_avltree_from_sorted_entries": "kFromSortedEntries",
    "__reduce__": "kReduce",
}


def annotation_text(node: ast.expr | None) -> str | None:
    return None if node is None else ast.unparse(node)


def argument_records(args: ast.arguments) -> dict[str, list[dict[str, str]]]:
    def record(arg: ast.arg, default: ast.expr | None) -> dict[str, str]:
        out = {"name": arg.arg}
        if arg.annotation is not None:
            out["annotation"] = ast.unparse(arg.annotation)
        if default is not None:
            out["default"] = ast.unparse(default)
        return out

    positional = args.posonlyargs + args.args
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults))
    defaults += args.defaults
    return {
        "posonlyargs": [record(a, d) for a, d in zip(args.posonlyargs, defaults)],
        "args": [record(a, d) for a, d in zip(args.args, defaults[len(args.posonlyargs) :])],
        "kwonlyargs": [record(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)],
    }


def text_signature(args: ast.arguments, receiver: str | None) -> str:
    """The interpreter's signature block: names and defaults, no annotations."""
    parts: list[str] = []
    positional = args.posonlyargs + args.args
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults))
    defaults += args.defaults
    for index, (arg, default) in enumerate(zip(positional, defaults)):
        name = arg.arg
        if index == 0 and receiver is not None:
            if receiver == "drop":
                continue
            name = receiver
        parts.append(name if default is None else f"{name}={ast.unparse(default)}")
        if args.posonlyargs and index == len(args.posonlyargs) - 1:
            parts.append("/")
    if args.kwonlyargs:
        parts.append("*")
        for arg, default in zip(args.kwonlyargs, args.kw_defaults):
            parts.append(arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
    return "(" + ", ".join(parts) + ")"


def decorator_names(node: ast.FunctionDef | ast.ClassDef) -> list[str]:
    return [ast.unparse(d) for d in node.decorator_list]


class Surface:
    def __init__(self, stub: str) -> None:
        self.tree = ast.parse(stub)
        self.records: list[dict[str, object]] = []
        self.docs: dict[str, str] = {}
        self.next_id = 0

    def new_id(self) -> str:
        self.next_id += 1
        return str(self.next_id)

    def build(self) -> None:
        module_id = self.new_id()
        module_record: dict[str, object] = {
            "type": "module",
            "name": MODULE_NAME,
            "id": module_id,
            "doc": ast.get_docstring(self.tree, clean=True),
            "members": [],
            "incomplete": False,
        }
        self.docs["kModule"] = module_record["doc"]  # type: ignore[assignment]
        self.records.append(module_record)
        members: list[str] = module_record["members"]  # type: ignore[assignment]
        for node in self.tree.body:
            if isinstance(node, ast.ClassDef):
                if node.name in NOT_RECORDED:
                    self.docs[f"k{node.name}"] = ast.get_docstring(node, clean=True) or ""
                    continue
                members.append(self.add_class(node, module_id))
            elif isinstance(node, ast.FunctionDef):
                members.append(self.add_function(node, module_id, None))
            elif isinstance(node, ast.AnnAssign):
                self.add_attribute(node, self.following_docstring(node), module_id)

    def following_docstring(self, node: ast.stmt) -> str | None:
        body = self.tree.body
        after = body[body.index(node) + 1] if body.index(node) + 1 < len(body) else None
        if (
            isinstance(after, ast.Expr)
            and isinstance(after.value, ast.Constant)
            and isinstance(after.value.value, str)
        ):
            return after.value.value
        return None

    def add_attribute(self, node: ast.AnnAssign, doc: str | None, parent: str) -> None:
        assert isinstance(node.target, ast.Name)
        record: dict[str, object] = {
            "type": "attribute",
            "name": node.target.id,
            "parent": parent,
            "annotation": annotation_text(node.annotation),
        }
        if doc is not None:
            record["doc"] = doc
        if node.value is not None:
            record["default"] = ast.unparse(node.value)
        self.records.append(record)

    def add_class(self, node: ast.ClassDef, parent: str) -> str:
        class_id = self.new_id()
        doc = ast.get_docstring(node, clean=True) or ""
        self.records.append(
            {
                "type": "class",
                "name": node.name,
                "id": class_id,
                "parent": parent,
                "doc": doc,
                "decorators": decorator_names(node),
            }
        )
        constructor = next(
            (n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__new__"), None
        )
        if constructor is not None:
            signature = text_signature(constructor.args, "drop")
            self.docs[DOC_NAMES[node.name]] = f"{node.name}{signature}\n--\n\n{doc}"
        else:
            self.docs[DOC_NAMES[node.name]] = doc
        for member in node.body:
            if isinstance(member, ast.FunctionDef):
                self.add_function(member, class_id, node.name)
        return class_id

    def add_function(self, node: ast.FunctionDef, parent: str, owner: str | None) -> str:
        doc = ast.get_docstring(node, clean=True) or ""
        decorators = decorator_names(node)
        record: dict[str, object] = {
            "type": "function",
            "name": node.name,
            "parent": parent,
            "doc": doc,
            "decorators": decorators,
            "arguments": argument_records(node.args),
            "returns": annotation_text(node.returns),
        }
        function_id = ""
        if owner is None:
            function_id = self.new_id()
            record["id"] = function_id
        self.records.append(record)
        slot = node.name.startswith("__") and node.name not in DOC_NAMES
        if owner not in METHOD_TABLE_OWNERS or slot:
            return function_id
        if "property" in decorators:
            self.docs[self.doc_name(node.name)] = doc
            return function_id
        receiver = "$self" if owner is not None else None
        signature = text_signature(node.args, receiver)
        self.docs[self.doc_name(node.name)] = f"{node.name}{signature}\n--\n\n{doc}"
        return function_id

    @staticmethod
    def doc_name(name: str) -> str:
        if name in DOC_NAMES:
            return DOC_NAMES[name]
        return "k" + "".join(w[:1].upper() + w[1:] for w in name.split("_") if w)


def c_string(text: str) -> str:
    return json.dumps(text, ensure_ascii=False).replace("?", "\\?")


def render_docs(docs: dict[str, str]) -> str:
    lines = [
        "// Generated from src/tervalo/tervalo.pyi by tools/generate_surface.py; do not edit.",
        "#pragma once",
        "",
        "namespace tervalo::docs {",
        "",
    ]
    for name, text in docs.items():
        lines.append(f"inline constexpr char {name}[] = {c_string(text)};")
    lines += ["", "}  // namespace tervalo::docs", ""]
    return "\n".join(lines)


def render_records(records: list[dict[str, object]]) -> str:
    lines = [
        "// Generated from src/tervalo/tervalo.pyi by tools/generate_surface.py; do not edit.",
        "// Read-only data for stub generators; nothing in the module reads it.",
        "",
    ]
    for number, record in enumerate(records, start=1):
        payload = json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode()
        blob = len(payload).to_bytes(4, "little") + payload
        body = ",".join(str(b) for b in blob)
        lines.append(
            f'extern "C" __attribute__((visibility("default"), used)) const unsigned char '
            f"{RECORD_PREFIX}{number}[{len(blob)}] = {{{body}}};"
        )
    lines.append("")
    return "\n".join(lines)


def write_if_changed(path: Path, text: str) -> None:
    if not path.exists() or path.read_text(encoding="utf-8") != text:
        path.write_text(text, encoding="utf-8")


def main() -> int:
    stub_path, out_dir = Path(sys.argv[1]), Path(sys.argv[2])
    surface = Surface(stub_path.read_text(encoding="utf-8"))
    surface.build()
    out_dir.mkdir(parents=True, exist_ok=True)
    write_if_changed(out_dir / "surface_docs.h", render_docs(surface.docs))
    write_if_changed(out_dir / "introspection_records.cpp", render_records(surface.records))
    return 0


if __name__ == "__main__":
    sys.exit(main())
