// What building a tree from a sequence of keys costs without Python: the tree's own replay of
// one-by-one insertion (src/python_tree/replay.cpp), fed the keys' 64-bit numbers, and the
// entries placed into 40-byte nodes in key order. No Python object is made, compared or
// counted; the difference between this and `AVLTree(values)` is what Python objects cost.
//
// Usage: shape_floor KEYS_FILE REPEAT
//   KEYS_FILE holds the keys as native-endian int64s in arrival order. Prints the median
//   milliseconds over REPEAT builds, then the count of distinct keys and the tree's height.
// Built on demand by benchmarks/bench.py (`--floor`).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "python_tree/replay.h"

namespace {

using tervalo::NodeIndex;

struct FloorNode {  // the tree's node size: two pointers, two links, a number, kind and height
  const void* value;
  const void* key;
  NodeIndex left, right;
  std::int64_t number;
  std::uint8_t kind, height;
};
static_assert(sizeof(FloorNode) == 40);

struct Built {
  std::size_t count;
  NodeIndex root;
  std::uint8_t height;
};

// As construction does it: duplicates dropped as they arrive (first one kept), ranks from a
// sort unless the keys only rose or only fell, the insertions replayed on the ranks.
Built build(const std::vector<std::int64_t>& keys, std::vector<FloorNode>& nodes) {
  const std::size_t n = keys.size();
  bool rising = true, falling = true;
  for (std::size_t i = 1; i < n; ++i) {
    rising = rising && keys[i - 1] < keys[i];
    falling = falling && keys[i - 1] > keys[i];
  }
  std::vector<std::uint32_t> rank_of_arrival;  // 1-based ranks of the kept keys, by arrival
  std::vector<std::int64_t> sorted;
  if (rising || falling) {
    sorted = keys;
    if (falling) std::reverse(sorted.begin(), sorted.end());
  } else {
    std::vector<std::pair<std::int64_t, std::uint32_t>> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = {keys[i], static_cast<std::uint32_t>(i)};
    std::sort(order.begin(), order.end());
    std::vector<std::uint32_t> rank(n, 0);  // 0: a duplicate, dropped
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (i == 0 || order[i].first != order[i - 1].first) {
        rank[order[i].second] = ++next;
        sorted.push_back(order[i].first);
      }
    }
    for (const std::uint32_t r : rank) {
      if (r != 0) rank_of_arrival.push_back(r);
    }
  }
  const std::size_t count = sorted.size();
  nodes.assign(count + 1, FloorNode{});
  for (std::size_t slot = 1; slot <= count; ++slot) {
    nodes[slot].number = sorted[slot - 1];
    nodes[slot].height = 1;
  }
  const auto link = [&](NodeIndex slot, NodeIndex left, NodeIndex right, std::uint8_t height) {
    nodes[slot].left = left;
    nodes[slot].right = right;
    nodes[slot].height = height;
  };
  NodeIndex root;
  if (rising || falling) {
    root = tervalo::link_ascending(count, falling && !rising, link);
  } else {
    tervalo::ShapeReplay replay(count);
    for (const std::uint32_t r : rank_of_arrival) replay.insert(r);
    root = replay.write_links(link);
  }
  return {count, root, root == tervalo::kNoNode ? std::uint8_t{0} : nodes[root].height};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s KEYS_FILE REPEAT\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<std::int64_t> keys(bytes.size() / sizeof(std::int64_t));
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keys.size() * 8),
            reinterpret_cast<char*>(keys.data()));
  const int repeat = std::max(1, std::atoi(argv[2]));
  std::vector<double> times;
  Built built{};
  for (int i = 0; i < repeat; ++i) {
    std::vector<FloorNode> nodes;
    const auto start = std::chrono::steady_clock::now();
    built = build(keys, nodes);
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  std::printf("%.3f %zu %u\n", times[times.size() / 2], built.count, unsigned{built.height});
  return 0;
}
