// Whole-tree walks: each takes a snapshot under a shared hold and wraps it in an iterator.
#include "python/iterator.h"
#include "python/tree.h"

namespace tervalo {

Result<Ref> tree_in_order(PyAVLTree& self) { return create_iterator(self.tree.in_order()); }
Result<Ref> tree_descending(PyAVLTree& self) { return create_iterator(self.tree.descending()); }
Result<Ref> tree_pre_order(PyAVLTree& self) { return create_iterator(self.tree.pre_order()); }
Result<Ref> tree_post_order(PyAVLTree& self) { return create_iterator(self.tree.post_order()); }
Result<Ref> tree_level_order(PyAVLTree& self) { return create_iterator(self.tree.level_order()); }

}  // namespace tervalo
