#include "python_tree/construction.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

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

std::vector<std::uint32_t> TreeConstruction::sorted_positions() const {
  std::vector<std::uint32_t> order(stash_.size());
  for (std::uint32_t position = 0; position < order.size(); ++position) order[position] = position;
  const StashedEntry* entries = stash_.data();
  switch (group_) {
    case Group::Integer:
      std::sort(order.begin(), order.end(), [entries](std::uint32_t a, std::uint32_t b) {
        return entries[a].number.value.integer < entries[b].number.value.integer;
      });
      break;
    case Group::Real:
      std::sort(order.begin(), order.end(), [entries](std::uint32_t a, std::uint32_t b) {
        return entries[a].number.value.real < entries[b].number.value.real;
      });
      break;
    default:
      std::sort(order.begin(), order.end(), [entries](std::uint32_t a, std::uint32_t b) {
        const StashedEntry& x = entries[a];
        const StashedEntry& y = entries[b];
        auto ordering = compare(x.key.get(), x.number, y.key.get(), y.number);
        if (!ordering) throw Panic{"keys of one group failed to compare"};
        return *ordering == Ordering::Less;
      });
      break;
  }
  return order;
}

void TreeConstruction::link_stash() {
  kept_.clear();
  const std::size_t count = stash_.size();
  if (count > 0) {
    // Everything that can fail comes before the stash is touched.
    ShapeReplay replay(count);
    std::vector<std::uint32_t> order;
    if (arrival_ == Arrival::Scattered) {
      order = sorted_positions();
      std::vector<NodeIndex> rank(count);
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
  std::vector<StashedEntry>().swap(stash_);
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
