#include "core/server/DesignImport.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace Tav {

namespace {

constexpr double kCellWidth = static_cast<double>(0.8f);  // 0.800000011920929
constexpr double kUnitsToCellsXZ = 1.25;
constexpr double kUnitsToCellsY = static_cast<double>(1.0f / 0.96f);  // 1.0416667461395264
constexpr double kDistanceBeyondFootprint = 10.0;
static_assert(kUnitsToCellsY == 1.0416667461395264, "the single-precision reciprocal of the cell height");

int32_t TruncToCell(double v)
{
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace

Vector3i DesignOriginBeside(const Vector3& position, const Vector3& facing, const LxfmlDesign& design)
{
    Vector3 d(facing.x, 0.0, facing.z);
    d.NormalizeInPlace();
    if (!std::isfinite(d.x) || !std::isfinite(d.z)) d = Vector3(0.0, 0.0, 0.0);  // a facing that is no direction
    const double width = (double(design.maxX) - double(design.minX)) * kCellWidth;
    const double depth = (double(design.maxZ) - double(design.minZ)) * kCellWidth;
    const double distance = std::sqrt(width * width + depth * depth) + kDistanceBeyondFootprint;
    const Vector3 q(position.x - distance * d.x, position.y - distance * d.y, position.z - distance * d.z);
    return Vector3i(TruncToCell(q.x * kUnitsToCellsXZ), TruncToCell(q.y * kUnitsToCellsY),
                    TruncToCell(q.z * kUnitsToCellsXZ));
}

std::string DesignRefusalText(LxfmlResult result, const LxfmlLimits& limits)
{
    switch (result) {
    case LxfmlResult::Parsed:
        return "";
    case LxfmlResult::NotXml:
        return "it is not well-formed XML";
    case LxfmlResult::TooLong:
        return "it has more than " + std::to_string(limits.textBytes) + " bytes of XML";
    case LxfmlResult::TooManyBricks:
        return "it has more than " + std::to_string(limits.bricks) + " bricks";
    case LxfmlResult::TooMuchWork:
        return "its bricks are nested too deeply";
    case LxfmlResult::NoFile:
        return "test.lxfml cannot be read";
    }
    return "it cannot be read";
}

std::string BrickCountText(size_t n, size_t total)
{
    return std::to_string(n) + " of " + std::to_string(total) + (total == 1 ? " brick" : " bricks");
}

std::string PartlyText(const DesignStampCount& count)
{
    if (count.partly == 0) return "";
    return " (" + std::to_string(count.partly) + " of them only in part: the rest lies in chunks that are not loaded)";
}

}  // namespace Tav
