#include "python_tree/construction.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "python_tree/replay.h"

namespace tervalo {
namespace {

// Slot numbers are 32 bits wide and slot 0 is "no node".
constexpr std::size_t kMostEntries = std::numeric_limits<NodeIndex>::max() - 1;

}  // namespace

TreeConstruction::Group TreeConstruction::group_of(const KeyNumber& number) noexcept {
  switch (number.kind) {
    case KeyNumber::Kind::Integer:
      return Group::Integer;
    case KeyNumber::Kind::Real:
      // A NaN fails every comparison, with the first key that insertion makes it meet.
      return std::isnan(number.value.real) ? Group::Mixed : Group::Real;
    case KeyNumber::Kind::Latin1:
    case KeyNumber::Kind::Wide:
      return Group::Text;
    case KeyNumber::Kind::Bytes:
      return Group::Bytes;
    default:
      return Group::Mixed;
  }
}

void TreeConstruction::reserve(std::size_t count) {
  // Beyond this much, storage is mapped and grows by remapping: growing costs no copy then, and
  // input of many duplicates must not hold room for entries never kept.
  constexpr std::size_t kMostReserved = (std::size_t{32} << 20) / sizeof(Node);
  tree_.nodes_.reserve(std::min(count, kMostReserved));
}

// Linked entries belong to the tree.
void TreeConstruction::release_stash() {
  if (!stashing_) return;
  tree_.nodes_.release_slots(tree_.nodes_.slot_count());
  tree_.nodes_.reset();
}

void TreeConstruction::append(Ref value, Ref key, const KeyNumber& number) {
  NodeArena& nodes = tree_.nodes_;
  const std::size_t count = nodes.slot_count();
  if (count >= kMostEntries) throw std::bad_alloc();
  // Doubling, so that the room never used is less than half; large storage grows by remapping
  // its pages, without moving the nodes in memory.
  if (nodes.full()) nodes.reserve(std::max<std::size_t>(count, 16));
  nodes.prepare_for(value.get(), key.get());
  nodes.append(std::move(value), std::move(key), number);
}

void TreeConstruction::prefetch_key(PyObject* key) const noexcept {
  if (!stashing_ || arrival_ != Arrival::Scattered) return;
  // Other keys' numbers cost more, or their hashes a call: not worth taking twice.
  PyTypeObject* type = Py_TYPE(key);
  if (type != &PyLong_Type && type != &PyFloat_Type) return;
  const KeyNumber number = KeyNumber::of(key);
  if (number.kind == KeyNumber::Kind::Integer || number.kind == KeyNumber::Kind::Real) {
    kept_.prefetch(number);
  }
}

Result<bool> TreeConstruction::add(Ref value, Ref key) {
  const KeyNumber number = KeyNumber::of(key.get());
  // The common case first: a key of the stash's own kind, past the previous one in the
  // direction the keys have taken, as the numbers alone tell.
  if (stashing_ && arrival_ != Arrival::Scattered && tree_.nodes_.slot_count() >= 2) {
    const Node& last = tree_.nodes_[static_cast<NodeIndex>(tree_.nodes_.slot_count())];
    if (number.kind == last.kind) {
      const auto settled = number.settle(last.key_number());
      const Ordering onward = arrival_ == Arrival::Rising ? Ordering::Greater : Ordering::Less;
      if (settled && *settled == onward) {
        append(std::move(value), std::move(key), number);
        return true;
      }
    }
  }
  if (stashing_) {
    const Group group = group_of(number);
    if (group_ == Group::None) group_ = group;
    if (group != group_ || group == Group::Mixed) link_stash();
  }
  if (!stashing_) {
    inserted_one_by_one_ = true;
    return tree_.insert(std::move(value), std::move(key), number);
  }
  auto duplicate = stashed(key.get(), number);
  if (!duplicate || *duplicate) {
    value.reset();
    key.reset();
    if (!duplicate) return fail(std::move(duplicate).error());
    return false;
  }
  append(std::move(value), std::move(key), number);
  if (arrival_ == Arrival::Scattered) kept_.add_last(Stash(tree_.nodes_));
  return true;
}

Result<bool> TreeConstruction::stashed(PyObject* key, const KeyNumber& number) {
  const Stash entries(tree_.nodes_);
  if (entries.empty()) return false;
  if (arrival_ != Arrival::Scattered) {
    const Node& last = tree_.nodes_[static_cast<NodeIndex>(entries.size())];
    TRY_ASSIGN(const Ordering ordering, tree_.nodes_.compare_probe(key, number, last));
    if (ordering == Ordering::Equal) return true;
    const Arrival seen = ordering == Ordering::Greater ? Arrival::Rising : Arrival::Falling;
    if (entries.size() == 1) arrival_ = seen;
    if (seen == arrival_) return false;
    arrival_ = Arrival::Scattered;
    kept_.fill(entries);
  }
  return kept_.contains(entries, key, number);
}

namespace {

// Sorts `entries` of (number, position) by number and answers each position's slot in that
// order (its rank, from 1). The numbers are copied out of the nodes so that the sort reads one
// array front to back.
template <class Number, class Less>
ScratchVector<NodeIndex> ranks_by(ScratchVector<std::pair<Number, std::uint32_t>> entries,
                                  Less less) {
  std::sort(entries.begin(), entries.end(), less);
  ScratchVector<NodeIndex> rank(entries.size());
  for (std::size_t at = 0; at < entries.size(); ++at) {
    rank[entries[at].second] = static_cast<NodeIndex>(at + 1);
  }
  return rank;
}

template <class Number, class Read>
ScratchVector<std::pair<Number, std::uint32_t>> numbered(Stash stash, Read read) {
  ScratchVector<std::pair<Number, std::uint32_t>> entries(stash.size());
  for (std::uint32_t position = 0; position < stash.size(); ++position) {
    entries[position] = {read(stash.number(position)), position};
  }
  return entries;
}

}  // namespace

// Keys in the stash are distinct, so no two compare Equal.
ScratchVector<NodeIndex> TreeConstruction::ranks() const {
  const Stash entries(tree_.nodes_);
  switch (group_) {
    case Group::Integer:
      return ranks_by(
          numbered<std::int64_t>(entries, [](const KeyNumber& k) { return k.value.integer; }),
          [](const auto& a, const auto& b) { return a.first < b.first; });
    case Group::Real:
      return ranks_by(numbered<double>(entries, [](const KeyNumber& k) { return k.value.real; }),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
    default:
      // Strs and bytes: the numbers settle most pairs; equal prefixes (and a Latin-1 str against
      // a wider one) compare the keys themselves.
      return ranks_by(numbered<KeyNumber>(entries, [](const KeyNumber& k) { return k; }),
                      [entries](const auto& a, const auto& b) {
                        // Settled from the copied numbers first: the nodes are read only on a
                        // tie.
                        if (auto settled = a.first.settle(b.first))
                          return *settled == Ordering::Less;
                        return order_in_group(entries.key(a.second), a.first, entries.key(b.second),
                                              b.first) == Ordering::Less;
                      });
  }
}

void TreeConstruction::link_stash() {
  kept_.clear();
  // Everything that can fail comes before a node changes its slot.
  NodeArena& nodes = tree_.nodes_;
  const std::size_t count = nodes.slot_count();
  if (count > 0) {
    const auto link = [&nodes](NodeIndex slot, NodeIndex left, NodeIndex right,
                               std::uint8_t height) {
      Node& node = nodes[slot];
      node.left = left;
      node.right = right;
      node.height = height;
    };
    if (arrival_ == Arrival::Scattered) {
      ScratchVector<NodeIndex> rank = ranks();
      ShapeReplay replay(count);
      for (const NodeIndex slot : rank) replay.insert(slot);
      nodes.permute_slots(std::move(rank));
      tree_.root_ = replay.write_links(link);
    } else {
      const bool falling = arrival_ == Arrival::Falling;
      if (falling) nodes.reverse_slots();
      tree_.root_ = link_ascending(count, falling, link);
    }
    tree_.len_ = count;
    tree_.first_ = 1;
    tree_.last_ = static_cast<NodeIndex>(count);
  }
  stashing_ = false;
}

PythonAvlTree TreeConstruction::finish() {
  if (stashing_) link_stash();
  // Entries inserted one by one lie where they arrived.
  if (inserted_one_by_one_) tree_.relayout();
  return std::move(tree_);
}

void TreeConstruction::abandon() {
  if (stashing_) link_stash();
  tree_.clear();
}

}  // namespace tervalo
