// The image store: the list's links, block ownership by compare-and-exchange,
// and the image's indexed access over it.
#include "ImageTestSupport.h"
#include "flash/ImageBlock.h"
#include "flash/ImageStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace flashtest;

namespace {

std::vector<uint32_t> Starts(CImageStore& store)
{
    std::vector<uint32_t> starts;
    for (CListNode* node = store.GetFirst(); node != nullptr; node = store.GetNext(node))
        starts.push_back(static_cast<CImageBlock*>(node)->GetStart());
    return starts;
}

} // namespace

TEST(ImageStore, AppendRemoveAndOrder)
{
    CImageStore store;
    auto* a = new CImageBlock(1, 2);
    auto* b = new CImageBlock(2, 3);
    auto* c = new CImageBlock(3, 4);
    EXPECT_EQ(store.Append(a), 0u);
    EXPECT_EQ(store.Append(b), 0u);
    EXPECT_EQ(store.Append(c), 0u);
    EXPECT_EQ(Starts(store), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(store.GetCount(), 3u);
    EXPECT_EQ(store.GetLast(), c);
    // Taking out the middle, the first and the last node keeps the links.
    EXPECT_EQ(store.Remove(b), 0u);
    EXPECT_EQ(b->GetOwner(), nullptr);
    EXPECT_EQ(Starts(store), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(store.Append(b), 0u);
    EXPECT_EQ(Starts(store), (std::vector<uint32_t>{1, 3, 2}));
    EXPECT_EQ(store.Remove(a), 0u);
    EXPECT_EQ(store.Remove(b), 0u);
    EXPECT_EQ(Starts(store), (std::vector<uint32_t>{3}));
    EXPECT_EQ(store.GetLast(), c);
    // Deleting a node takes it out of its list.
    delete c;
    EXPECT_EQ(store.GetCount(), 0u);
    EXPECT_EQ(store.GetFirst(), nullptr);
    EXPECT_EQ(store.GetLast(), nullptr);
    delete a;
    delete b;
    EXPECT_EQ(store.Append(nullptr), KZM_E_FAIL);
    EXPECT_EQ(store.Remove(nullptr), KZM_E_FAIL);
}

TEST(ImageStore, ABlockBelongsToOneStoreAtATime)
{
    CImageStore first, second;
    CImageBlock block(0, 1);
    ASSERT_EQ(first.Append(&block), 0u);
    const uint64_t version = first.GetVersion();
    // Appending it again to its own store changes nothing and succeeds.
    EXPECT_EQ(first.Append(&block), 0u);
    EXPECT_EQ(first.GetCount(), 1u);
    EXPECT_EQ(first.GetVersion(), version);
    // Another store can neither claim it nor take it out.
    EXPECT_EQ(second.Append(&block), KZM_E_FAIL);
    EXPECT_EQ(second.Remove(&block), KZM_E_FAIL);
    EXPECT_EQ(second.GetNext(&block), nullptr);
    EXPECT_EQ(block.GetOwner(), &first);
    EXPECT_EQ(first.GetCount(), 1u);
    EXPECT_EQ(second.GetCount(), 0u);
    ASSERT_EQ(first.Remove(&block), 0u);
    EXPECT_EQ(second.Append(&block), 0u);
    EXPECT_EQ(block.GetOwner(), &second);
    second.Remove(&block);
}

TEST(ImageStore, DestroyingAStoreUnlinksItsNodes)
{
    CImageBlock a(0, 1), b(1, 2);
    {
        CImageStore store;
        store.Append(&a);
        store.Append(&b);
    }
    EXPECT_EQ(a.GetOwner(), nullptr);
    EXPECT_EQ(b.GetOwner(), nullptr);
    CImageStore other;
    EXPECT_EQ(other.Append(&a), 0u);
    other.Remove(&a);
}

TEST(ImageStore, RacingStoresClaimEachBlockOnce)
{
    constexpr int BLOCKS = 20000;
    std::vector<CImageBlock*> blocks;
    for (int i = 0; i < BLOCKS; ++i)
        blocks.push_back(new CImageBlock(static_cast<uint32_t>(i), static_cast<uint32_t>(i) + 1));
    CImageStore stores[2];
    std::atomic<int> claimed[2] = {0, 0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < BLOCKS; ++i) {
                CImageBlock* block = blocks[t == 0 ? i : BLOCKS - 1 - i];
                if (stores[t].Append(block) == 0 && block->GetOwner() == &stores[t])
                    ++claimed[t];
            }
        });
    }
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(claimed[0] + claimed[1], BLOCKS);
    EXPECT_EQ(stores[0].GetCount() + stores[1].GetCount(), static_cast<uint32_t>(BLOCKS));
    EXPECT_EQ(Starts(stores[0]).size() + Starts(stores[1]).size(), static_cast<size_t>(BLOCKS));
    for (CImageBlock* block : blocks)
        delete block;
    EXPECT_EQ(stores[0].GetCount() + stores[1].GetCount(), 0u);
}

TEST(ImageFileAccess, WithoutStoreAndWithEmptyStore)
{
    CImageFile none;
    uint32_t start = 0, end = 0;
    const uint8_t* data = nullptr;
    EXPECT_EQ(none.GetBlockCount(), 0u);
    EXPECT_EQ(none.GetBlock(0, &start, &end, &data), KZM_E_FAIL);
    EXPECT_EQ(none.GetLowestAddress(), 0u);
    EXPECT_EQ(none.GetHighestAddress(), 0u);
    EXPECT_EQ(none.Clear(), KZM_E_FAIL);
    FW_INFO info;
    EXPECT_EQ(none.GetFwInfo(&info), KZM_E_FAIL);

    const std::string text = HexData(0x10, {1, 2}) + HexData(0x40, {3}) + HEX_END;
    CImageFile image;
    ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
    EXPECT_EQ(image.GetBlock(2, &start, &end, &data), KZM_E_FAIL);
    EXPECT_EQ(image.GetBlock(0, nullptr, &end, &data), KZM_E_FAIL);
    EXPECT_EQ(image.GetBlock(0, &start, nullptr, &data), KZM_E_FAIL);
    EXPECT_EQ(image.GetBlock(0, &start, &end, nullptr), KZM_E_FAIL);
    EXPECT_EQ(image.GetLowestAddress(), 0x10u);
    EXPECT_EQ(image.GetHighestAddress(), 0x41u);
    EXPECT_EQ(image.Clear(), 0u);
    EXPECT_EQ(image.GetBlockCount(), 0u);
    EXPECT_EQ(image.GetLowestAddress(), 0xFFFFFFFFu);
    EXPECT_EQ(image.GetHighestAddress(), 0u);
    EXPECT_EQ(image.GetFwInfo(&info), KZM_E_FAIL);
}

TEST(ImageFileAccess, IndexFollowsChangesOfTheStore)
{
    const std::string text = HexData(0x10, {1}) + HexData(0x20, {2}) + HexData(0x30, {3}) + HEX_END;
    CImageFile image;
    ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
    ASSERT_EQ(image.GetBlockCount(), 3u);
    CImageStore* store = image.GetStore();
    CListNode* first = store->GetFirst();
    store->Remove(first);
    uint32_t start = 0, end = 0;
    const uint8_t* data = nullptr;
    ASSERT_EQ(image.GetBlockCount(), 2u);
    ASSERT_EQ(image.GetBlock(0, &start, &end, &data), 0u);
    EXPECT_EQ(start, 0x20u);
    store->Append(first);
    ASSERT_EQ(image.GetBlock(2, &start, &end, &data), 0u);
    EXPECT_EQ(start, 0x10u);
    EXPECT_EQ(data[0], 1);
}
