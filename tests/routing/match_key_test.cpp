// Which modules a message's flags and event select.
#include <gtest/gtest.h>

#include "routing/match_key.h"

namespace {

ModuleInfo Masks(std::initializer_list<std::pair<int, uint64_t>> masks)
{
    ModuleInfo info = {};
    for (const auto& mask : masks)
        info.class_mask[mask.first] = mask.second;
    return info;
}

TEST(MatchKey, AnySelectedMaskThatHoldsEveryBitOfTheKeyMatches)
{
    const uint64_t key = MatchKey::delivery(0x1000002);
    const ModuleInfo info = Masks({{0, 0x2000000}, {3, 0x2000002}, {7, ~uint64_t(0)}});
    EXPECT_FALSE(MatchKey::selectedMaskMatches(info, ORV_FLAG_CLASS(0), key));  // a bit missing
    EXPECT_TRUE(MatchKey::selectedMaskMatches(info, ORV_FLAG_CLASS(3), key));
    EXPECT_TRUE(MatchKey::selectedMaskMatches(info, ORV_FLAG_CLASS(0) | ORV_FLAG_CLASS(3), key));
    EXPECT_TRUE(MatchKey::selectedMaskMatches(info, ORV_FLAG_CLASS(0) | ORV_FLAG_CLASS(7), key));
    EXPECT_FALSE(MatchKey::selectedMaskMatches(info, ORV_FLAG_CLASS(1) | ORV_FLAG_CLASS(2), key));
    EXPECT_FALSE(MatchKey::selectedMaskMatches(info, 0, key));
}

TEST(MatchKey, OnlyBits0To7AndTheBitOfMaskEightSelect)
{
    const uint64_t key = MatchKey::delivery(0x5);
    const ModuleInfo info = Masks({{8, 0x5}});
    EXPECT_TRUE(MatchKey::selectedMaskMatches(info, ORV_FLAG_CLASS8, key));
    // 0x100 and 0x200 are not class bits, whatever the masks hold.
    EXPECT_FALSE(MatchKey::selectedMaskMatches(Masks({{0, ~uint64_t(0)}, {1, ~uint64_t(0)}}), 0x300, key));
    EXPECT_FALSE(MatchKey::selectedMaskMatches(info, 0xFF, key));
}

}  // namespace
