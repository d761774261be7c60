"""A second list of planted faults, written from the README's promises and the C++ sources alone.

Whoever wrote these did not read the test suite, so a mutant that survives shows a blind spot of
the suite rather than a fault picked to match a test it already has. `tools/mutants.py` runs them
exactly as its own list: each replaces one snippet (occurring exactly once) of one source file,
and an equivalent mutant says why no Python program can tell it apart.
"""

from mutants import Mutant  # tools/ is on sys.path when tools/mutants.py runs

NESTING = "src/binding/release_nesting.h"
NESTING_CPP = "src/binding/release_nesting.cpp"
TRAMPOLINE = "src/binding/trampoline.h"
BORROW = "src/binding/borrow.h"
CONVERSIONS = "src/binding/conversions.cpp"
ARGS = "src/binding/arguments.cpp"
ERROR = "src/foundation/error.cpp"
CORE_H = "src/python_tree/python_tree.h"
KEY_ORDER_H = "src/python_tree/key_order.h"
BUILD_H = "src/python_tree/build.h"
CMP = "src/python_tree/compare.cpp"
BOUNDED = "src/python_tree/bounded.cpp"
TREE = "src/python_tree/python_tree.cpp"
ARENA = "src/python_tree/arena.cpp"
ARENA_H = "src/python_tree/arena.h"
KEY_SET_H = "src/python_tree/key_set.h"
STORAGE = "src/python_tree/relocatable_array.h"
TRAVERSE = "src/python_tree/traverse.cpp"
TYPE = "src/python/tree_type.cpp"
LOOKUP = "src/python/tree_lookup.cpp"
QUERIES = "src/python/tree_queries.cpp"
PICKLE = "src/python/pickle.cpp"
EXTRACTOR = "src/python/key_extractor.cpp"

MUTANTS = [
    # Nested releases: the bound, when postponed releases run, and in which order.
    Mutant("release-postponed-from-fiftieth", NESTING,
           "return depth_ > kMaxReleaseDepth;", "return depth_ >= kMaxReleaseDepth;"),
    Mutant("postponed-releases-never-drained", NESTING,
           "return depth_ == 1;", "return depth_ == 0;"),
    Mutant("postponed-release-skips-nesting-count", TRAMPOLINE,
           "postpone_release(self, dealloc_entry<Release>);", "postpone_release(self, Release);"),
    Mutant("postponed-drained-oldest-first", NESTING_CPP,
           "    const PostponedRelease next = postponed.back();\n    postponed.pop_back();",
           "    const PostponedRelease next = postponed.front();\n"
           "    postponed.erase(postponed.begin());"),
    # Holds: reads nest, changes exclude everything, and the two messages.
    Mutant("shared-holds-do-not-nest", BORROW,
           "if (current == kExclusive) return false;", "if (current != 0) return false;"),
    Mutant("shared-release-drops-every-hold", BORROW,
           "state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);",
           "state_.store(0, std::memory_order_relaxed);"),
    Mutant("exclusive-taken-over-exclusive", BORROW,
           "if (state_.load(std::memory_order_relaxed) != 0) return false;",
           "if (state_.load(std::memory_order_relaxed) > 0) return false;"),
    Mutant("hold-messages-swapped", BORROW,
           'kind == Hold::Shared ? "Already mutably borrowed" : "Already borrowed"',
           'kind == Hold::Shared ? "Already borrowed" : "Already mutably borrowed"'),
    Mutant("repr-holds-exclusive", TYPE,
           "{Py_tp_repr, as_slot(unary_slot<PyAVLTree, Hold::Shared, tree_repr>)}",
           "{Py_tp_repr, as_slot(unary_slot<PyAVLTree, Hold::Exclusive, tree_repr>)}"),
    # Key summaries and the comparisons that trust them.
    Mutant("int-summary-negative-overflow-kept", CMP,
           "    if (overflow == 0) {", "    if (overflow <= 0) {"),
    Mutant("tuple-summary-keeps-only-kind", CMP,
           "    number.kind = static_cast<Kind>(static_cast<int>(number.kind) + kTupleShift);",
           "    number = KeyNumber{static_cast<Kind>(static_cast<int>(number.kind) + kTupleShift),"
           " {}};"),
    Mutant("tuple-int-summary-settles-equal", KEY_ORDER_H,
           "      case Kind::Integer:\n"
           "        if (x.integer == y.integer) return Ordering::Equal;\n"
           "        [[fallthrough]];\n"
           "      case Kind::TupleInteger:\n",
           "      case Kind::TupleInteger:\n"
           "        if (x.integer == y.integer) return Ordering::Equal;\n"
           "        [[fallthrough]];\n"
           "      case Kind::Integer:\n"),
    Mutant("tuple-equal-prefix-taken-for-equal-item", CMP,
           "((a_number.kind == Kind::TupleInteger && "
           "a_number.value.integer == b_number.value.integer) ||",
           "((is_tuple(a_number.kind) && a_number.value.prefix == b_number.value.prefix) ||"),
    Mutant("wide-against-latin1-sign-swapped", CMP,
           "y = widened(b_number.value.prefix);\n      if (x != y) return unequal(x < y);",
           "y = widened(b_number.value.prefix);\n      if (x != y) return unequal(x > y);"),
    Mutant("widened-prefix-across-tuple-and-str", CMP,
           "is_tuple(a_number.kind) == is_tuple(b_number.kind)",
           "is_tuple(a_number.kind) != is_tuple(b_number.kind)"),
    Mutant("tuple-unknown-item-skipped", CMP,
           "    if (order == DirectOrder::Unknown) return std::nullopt;\n",
           "    if (order == DirectOrder::Unknown) continue;\n"),
    Mutant("bytes-summary-seven-bytes", CMP,
           "std::min<Py_ssize_t>(PyBytes_Size(key), 8)",
           "std::min<Py_ssize_t>(PyBytes_Size(key), 7)",
           "a bytes summary only has to order as its bytes do when summaries differ: seven "
           "leading bytes still do, and equal summaries always fall back to comparing the bytes"),
    # Bounded queries.
    Mutant("range-equal-bounds-rejected", BOUNDED,
           "    if (ordering == Ordering::Greater) {\n      return fail(PyExc_ValueError",
           "    if (ordering != Ordering::Less) {\n      return fail(PyExc_ValueError"),
    Mutant("range-exclusive-start-ignored", BOUNDED,
           "to_start == Ordering::Greater ||\n"
           "                           (to_start == Ordering::Equal && bounds.include_start);",
           "to_start != Ordering::Less;"),
    Mutant("counted-walk-descends-wrong-side", BOUNDED,
           "next = nodes[next].*Away)", "next = nodes[next].*Toward)"),
    Mutant("include-end-note-names-start", QUERIES,
           'flag_or(arguments[3], false, "include_end")',
           'flag_or(arguments[3], false, "include_start")'),
    Mutant("negative-count-wraps", CONVERSIONS,
           "const unsigned long long value = PyLong_AsUnsignedLongLong(integer);",
           "const auto value = static_cast<unsigned long long>(PyLong_AsLongLong(integer));"),
    Mutant("int-flag-accepted", CONVERSIONS,
           "if (PyBool_Check(object)) return object == Py_True;",
           "if (PyLong_Check(object)) return PyObject_IsTrue(object) == 1;"),
    # Pickling: every kind of key survives the round trip, summaries included.
    Mutant("attribute-key-pickles-as-identity", EXTRACTOR,
           "Result<Ref> KeyExtractor::as_key_spec() const {\n"
           "  if (std::holds_alternative<Identity>(policy_))",
           "Result<Ref> KeyExtractor::as_key_spec() const {\n"
           "  if (!std::holds_alternative<Callable>(policy_))"),
    Mutant("unpickle-key-from-value-slot", PICKLE,
           "Ref::borrow(PyTuple_GetItem(item, 1))", "Ref::borrow(PyTuple_GetItem(item, 0))"),
    Mutant("unpickled-summary-of-value", BUILD_H,
           "const KeyNumber number = KeyNumber::of(key.get());\n    tree_.nodes_.append",
           "const KeyNumber number = KeyNumber::of(value.get());\n    tree_.nodes_.append"),
    Mutant("pair-of-three-accepted", PICKLE, "if (size != 2) {", "if (size < 2) {"),
    Mutant("callable-str-key-called", EXTRACTOR,
           "if (PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_UNICODE_SUBCLASS)) {",
           "if (!PyCallable_Check(object) &&\n"
           "      PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_UNICODE_SUBCLASS)) {"),
    # Insertion, removal, release and storage.
    Mutant("successor-not-rebalanced", TREE,
           "*link = rebalance(nodes_, taken.minimum);", "*link = taken.minimum;"),
    Mutant("subtree-releases-right-first", TREE,
           "  release_subtree(nodes, nodes[index].left);\n  release_subtree(nodes, right);",
           "  release_subtree(nodes, right);\n  release_subtree(nodes, nodes[index].left);"),
    Mutant("rejected-insert-releases-key-first", TREE,
           "      value.reset();\n      key.reset();\n      if (!ordering)",
           "      key.reset();\n      value.reset();\n      if (!ordering)"),
    Mutant("failed-build-releases-tree-first", TYPE,
           "  values.release_from(next);\n  tree.abandon();",
           "  tree.abandon();\n  values.release_from(next);"),
    Mutant("relayout-keeps-stale-ends", CORE_H,
           "    root_ = nodes_.relayout_in_order(root_, len_);\n    first_ = last_ = kNoNode;\n",
           "    root_ = nodes_.relayout_in_order(root_, len_);\n"),
    Mutant("moved-tree-forgets-ends", CORE_H,
           "first_(std::exchange(other.first_, kNoNode)),", "first_(kNoNode),",
           "the remembered ends are a cache: a tree that forgets its first slot finds it again by "
           "walking left, and the tree moved from is empty, so its stale number is never read"),
    Mutant("reused-slot-keeps-height", ARENA,
           "  node.right = kNoNode;\n  node.height = 1;\n", "  node.right = kNoNode;\n"),
    Mutant("level-order-right-child-first", TRAVERSE,
           "    if (node.left != kNoNode) queue.push_back(node.left);\n"
           "    if (node.right != kNoNode) queue.push_back(node.right);",
           "    if (node.right != kNoNode) queue.push_back(node.right);\n"
           "    if (node.left != kNoNode) queue.push_back(node.left);"),
    # Node storage: keys kept with their values, and moved apart.
    Mutant("keys-apart-not-grown-with-nodes", ARENA,
           "    if (keys_apart_) keys_.reserve(grown);\n", ""),
    Mutant("keys-moved-apart-into-room-for-present-nodes", ARENA,
           "keys.reserve(std::max<std::size_t>(nodes_.capacity(), 1));",
           "keys.reserve(std::max<std::size_t>(nodes_.size(), 1));"),
    Mutant("keys-moved-apart-from-slot-one", ARENA,
           "for (std::size_t index = 0; index < nodes_.size(); ++index) {\n"
           "    keys.emplace_back(",
           "for (std::size_t index = 1; index < nodes_.size(); ++index) {\n"
           "    keys.emplace_back("),
    Mutant("reused-slot-key-not-stored-apart", ARENA,
           "  node.value = std::move(value);\n  if (keys_apart_) {\n"
           "    keys_[index].key = std::move(key);\n  } else {\n"
           "    // The node's one pointer carries this reference beside the value's.\n"
           "    static_cast<void>(key.release());\n  }\n",
           "  node.value = std::move(value);\n  static_cast<void>(key.release());\n"),
    Mutant("tie-compares-probe-with-value", ARENA_H,
           "return compare_keys(probe, number, key_of(node), stored);",
           "return compare_keys(probe, number, node.value.get(), stored);"),
    Mutant("stored-key-asked-as-right-operand", ARENA_H,
           "    return compare_keys(key_of(node), stored, bound, number);",
           "    auto reversed = compare_keys(bound, number, key_of(node), stored);\n"
           "    if (!reversed || *reversed == Ordering::Equal) return reversed;\n"
           "    return *reversed == Ordering::Less ? Ordering::Greater : Ordering::Less;"),
    Mutant("moved-arena-forgets-keys-apart", ARENA_H,
           "keys_apart_(std::exchange(other.keys_apart_, false)),", "keys_apart_(false),"),
    Mutant("removed-key-held-until-slot-reused", ARENA_H,
           "keys_apart_ ? std::move(keys_[index].key) : Ref::steal(value.get());",
           "keys_apart_ ? Ref::borrow(keys_[index].key.get()) : Ref::steal(value.get());"),
    Mutant("unlinked-entries-released-last-first", ARENA_H,
           "for (std::size_t slot = 1; slot <= count; ++slot) release_entry(",
           "for (std::size_t slot = count; slot >= 1; --slot) release_entry("),
    Mutant("stash-reads-value-as-key", KEY_SET_H,
           "{ return nodes_->key(slot(position)); }",
           "{ return (*nodes_)[slot(position)].value.get(); }"),
    Mutant("storage-rounded-down-to-lines", STORAGE,
           "(bytes + kLine - 1) / kLine * kLine", "bytes / kLine * kLine"),
    # Lookups by value and by key.
    Mutant("contains-key-applies-extractor", LOOKUP,
           "Result<Ref> tree_contains_key(PyAVLTree& self, const BoundArguments& arguments) {\n"
           "  Ref key = Ref::borrow(arguments[0]);\n"
           "  TRY_ASSIGN(Ref found, self.tree.find(key.get()));",
           "Result<Ref> tree_contains_key(PyAVLTree& self, const BoundArguments& arguments) {\n"
           "  TRY_ASSIGN(Ref found, search(self, Ref::borrow(arguments[0])));"),
    Mutant("search-skips-key-on-empty-tree", LOOKUP,
           "Result<Ref> search(const PyAVLTree& self, Ref probe) {\n",
           "Result<Ref> search(const PyAVLTree& self, Ref probe) {\n"
           "  if (self.tree.len() == 0) return Ref();\n"),
    # Binding and messages.
    Mutant("first-parameter-not-bound-by-keyword", ARGS,
           "for (std::size_t i = 0; i < positional_count && slot == output.size(); ++i) {",
           "for (std::size_t i = 1; i < positional_count && slot == output.size(); ++i) {"),
    Mutant("none-cast-message-generic", ERROR,
           "  if (object == Py_None) {\n"
           "    return Error::lazy(PyExc_TypeError,\n"
           "                       std::string(\"'None' is not an instance of '\")"
           " + target + \"'\");\n"
           "  }\n",
           ""),
]
