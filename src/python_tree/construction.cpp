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

// Emptied by hand: a vector's destructor may not release (see `Ref`).
void TreeConstruction::release_stash() {
  for (StashedEntry& entry : stash_) {
    entry.value.reset();
    entry.key.reset();
  }
  stash_.clear();
}

Result<bool> TreeConstruction::add(Ref value, Ref key) {
  const KeyNumber number = KeyNumber::of(key.get());
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
  if (stash_.size() >= kMostEntries) throw std::bad_alloc();
  stash_.push_back(StashedEntry{std::move(value), std::move(key), number});
  if (arrival_ == Arrival::Scattered) kept_.add_last(stash_);
  return true;
}

Result<bool> TreeConstruction::stashed(PyObject* key, const KeyNumber& number) {
  if (stash_.empty()) return false;
  if (arrival_ != Arrival::Scattered) {
    const StashedEntry& last = stash_.back();
    TRY_ASSIGN(const Ordering ordering, compare(key, number, last.key.get(), last.number));
    if (ordering == Ordering::Equal) return true;
    const Arrival seen = ordering == Ordering::Greater ? Arrival::Rising : Arrival::Falling;
    if (stash_.size() == 1) arrival_ = seen;
    if (seen == arrival_) return false;
    arrival_ = Arrival::Scattered;
    kept_.fill(stash_);
  }
  return kept_.contains(stash_, key, number);
}

namespace {

// Sorts `entries` of (number, position) by number and answers the positions in that order.
// The entries are copied out of the stash so that the sort reads one array front to back.
template <class Number, class Less>
ScratchVector<std::uint32_t> positions_sorted_by(
    ScratchVector<std::pair<Number, std::uint32_t>> entries, Less less) {
  std::sort(entries.begin(), entries.end(), less);
  ScratchVector<std::uint32_t> order(entries.size());
  for (std::size_t at = 0; at < entries.size(); ++at) order[at] = entries[at].second;
  return order;
}

template <class Number, class Read>
ScratchVector<std::pair<Number, std::uint32_t>> numbered(const ScratchVector<StashedEntry>& stash,
                                                         Read read) {
  ScratchVector<std::pair<Number, std::uint32_t>> entries(stash.size());
  for (std::uint32_t position = 0; position < stash.size(); ++position) {
    entries[position] = {read(stash[position].number), position};
  }
  return entries;
}

}  // namespace

// Keys in the stash are distinct, so no two compare Equal.
ScratchVector<std::uint32_t> TreeConstruction::sorted_positions() const {
  switch (group_) {
    case Group::Integer:
      return positions_sorted_by(
          numbered<std::int64_t>(stash_, [](const KeyNumber& n) { return n.value.integer; }),
          [](const auto& a, const auto& b) { return a.first < b.first; });
    case Group::Real:
      return positions_sorted_by(
          numbered<double>(stash_, [](const KeyNumber& n) { return n.value.real; }),
          [](const auto& a, const auto& b) { return a.first < b.first; });
    default: {
      // Strs and bytes: the numbers settle most pairs; equal prefixes (and a Latin-1 str against
      // a wider one) compare the keys themselves.
      const StashedEntry* stash = stash_.data();
      return positions_sorted_by(numbered<KeyNumber>(stash_, [](const KeyNumber& n) { return n; }),
                                 [stash](const auto& a, const auto& b) {
                                   // Settled from the copied numbers first: the stash is read only
                                   // on a tie.
                                   if (auto settled = a.first.settle(b.first))
                                     return *settled == Ordering::Less;
                                   return order_in_group(stash[a.second].key.get(), a.first,
                                                         stash[b.second].key.get(),
                                                         b.first) == Ordering::Less;
                                 });
    }
  }
}

void TreeConstruction::link_stash() {
  kept_.clear();
  const std::size_t count = stash_.size();
  if (count > 0) {
    // Everything that can fail comes before the stash is touched.
    ShapeReplay replay(count);
    ScratchVector<std::uint32_t> order;
    if (arrival_ == Arrival::Scattered) {
      order = sorted_positions();
      ScratchVector<NodeIndex> rank(count);
      for (std::size_t slot = 1; slot <= count; ++slot) {
        rank[order[slot - 1]] = static_cast<NodeIndex>(slot);
      }
      for (const NodeIndex slot : rank) replay.insert(slot);
    } else {
      replay.insert_ascending();
    }
    NodeArena& nodes = tree_.nodes_;
    nodes.reserve(count);
    // Nodes in key order, from slot 1 on.
    for (std::size_t slot = 1; slot <= count; ++slot) {
      const std::size_t position = arrival_ == Arrival::Rising    ? slot - 1
                                   : arrival_ == Arrival::Falling ? count - slot
                                                                  : order[slot - 1];
      StashedEntry& entry = stash_[position];
      nodes.append(std::move(entry.value), std::move(entry.key), entry.number);
    }
    stash_.clear();
    tree_.root_ = replay.write_links(
        [&nodes](NodeIndex slot, NodeIndex left, NodeIndex right, std::uint8_t height) {
          Node& node = nodes[slot];
          node.left = left;
          node.right = right;
          node.height = height;
        },
        arrival_ == Arrival::Falling);
    tree_.len_ = count;
    tree_.first_ = 1;
    tree_.last_ = static_cast<NodeIndex>(count);
  }
  ScratchVector<StashedEntry>().swap(stash_);
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
