#include <gtest/gtest.h>

#include <set>

#include "world/ColourTable.h"

namespace Tav {
namespace {

TEST(ColourTable, MaterialsToIndices) {
    ColourTable::Build();
    ColourTable::Build();
    const std::vector<Colour>& records = ColourTable::Records();
    ASSERT_EQ(records.size(), 39u);
    std::set<int32_t> materials;
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].index, i);
        EXPECT_EQ(records[i].a, 255);
        materials.insert(records[i].materialId);
    }
    EXPECT_EQ(materials.size(), 39u);
    EXPECT_EQ(records[17].r, 88);
    EXPECT_EQ(records[17].g, 171);
    EXPECT_EQ(records[17].b, 65);

    struct Case {
        int32_t material;
        uint8_t index;
    };
    const Case cases[] = {{26, 0}, {37, 17}, {28, 18}, {268, 38}, {199, 1}, {0, 0}, {999, 0}, {-1, 0}};
    for (const Case& c : cases) EXPECT_EQ(ColourTable::IndexOfMaterial(c.material), c.index) << c.material;
}

}  // namespace
}  // namespace Tav
