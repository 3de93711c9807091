// Publication counter of the virtual UPS tree, for readers in other processes.
//
// Other processes read the tree without any lock, so a record copied into a node
// while a reader copies it out could be seen half old, half new. Writers that
// publish a record bracket the copy with a TreePublish guard; the counter is odd
// while a copy is under way. A reader takes the counter (even), copies what it
// needs, and keeps the copy only if the counter still has the same value:
//
//   uint32 a = seq->load(std::memory_order_acquire);
//   if (a & 1) retry;
//   memcpy(...);
//   std::atomic_thread_fence(std::memory_order_acquire);
//   if (seq->load(std::memory_order_relaxed) != a) retry;
//
// The counter lives in the extension node (node 1), in bytes that node does not
// use (it writes only its first 23 bytes), at the first 8-aligned segment offset
// after them. All writers publish under the cabinet data mutex, so the counter
// has one writer at a time.
#ifndef TVK_TREEPUBLISH_H
#define TVK_TREEPUBLISH_H

#include "Types.h"
#include "VirtualUPSMgr.h"

#include <atomic>
#include <cstddef>

constexpr size_t TREE_EXTNODE_USED = 23;
// Offset of the counter from the start of the segment.
constexpr size_t treePublishSeqOffset()
{
    size_t off = sizeof(virtualNode_t) + TREE_EXTNODE_USED;
    return (off + 7) & ~size_t(7);
}
static_assert(treePublishSeqOffset() + 4 <= 2 * sizeof(virtualNode_t), "the counter fits in the extension node");
static_assert(std::atomic<uint32>::is_always_lock_free, "the counter is shared between processes");

// The counter of the tree whose system node (node 0) is `tree`; null without a tree,
// or when `tree` is not the start of a built tree (its extension link is not node 1),
// as for a lone node.
inline std::atomic<uint32> *treePublishSeq(virtualNode_t *tree)
{
    if (!tree || tree->ext != 1 || tree[1].nodetype != extNode)
        return nullptr;
    return reinterpret_cast<std::atomic<uint32> *>(reinterpret_cast<char *>(tree) + treePublishSeqOffset());
}

class TreePublish {
public:
    explicit TreePublish(virtualNode_t *tree) : seq_(treePublishSeq(tree))
    {
        if (!seq_)
            return;
        v_ = seq_->load(std::memory_order_relaxed);
        if (v_ & 1)   // left odd by an earlier writer that did not finish: make it even first
            ++v_;
        seq_->store(v_ + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
    }
    ~TreePublish()
    {
        if (seq_)
            seq_->store(v_ + 2, std::memory_order_release);
    }

private:
    TreePublish(const TreePublish &) = delete;
    TreePublish &operator=(const TreePublish &) = delete;
    std::atomic<uint32> *seq_;
    uint32 v_ = 0;
};

#endif
