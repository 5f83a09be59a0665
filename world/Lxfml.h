#pragma once
// LXFML brick designs: the XML of an external brick design tool, read into a
// list of bricks of the server's own catalogue.
//
// What is read: every element named Brick (anywhere, in document order); its
// attribute "designID" (the brick type); the first field of the first
// "materials" attribute of a Part below it (the colour); the first
// "transformation" attribute of a Bone below it: nine rotation entries row by
// row, then the position x, y, z in world units.
//
// The parser bounds its work (LxfmlLimits): a text longer than textBytes, a
// document with more than bricks Brick elements, or one whose per-brick
// queries would visit more than queryWork nodes and attributes (Bricks nested
// in Bricks make that quadratic) is refused whole with a debugger line, and
// the design is left as it was. Designs that clients send get the client
// limits; the operator's own "test.lxfml" gets limits of its own, far beyond
// any real design, that only keep a mistaken file from taking the server's
// memory or its time for good. A brick whose cell does not fit a signed
// 32-bit integer is left out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "math/Vector3i.h"

namespace Tav {

struct BrickShape;

struct LxfmlBrick {
    BrickShape* shape = nullptr;  // of the catalogue, which outlives every design
    int32_t x = 0;                // the cell of the shape's origin cell
    int32_t y = 0;
    int32_t z = 0;
    uint8_t colour = 0;  // colour index
};

// A parsed design: its bricks in document order and the inclusive box of
// cells they cover. The box starts as the single cell (0, 0, 0) and only
// grows, so it always contains that cell.
struct LxfmlDesign {
    int32_t minX = 0;
    int32_t minY = 0;
    int32_t minZ = 0;
    int32_t maxX = 0;
    int32_t maxY = 0;
    int32_t maxZ = 0;
    std::vector<LxfmlBrick> bricks;

    // Appends the brick and widens the box to every cell of its shape.
    void AddBrick(const LxfmlBrick& brick);
};

// What stamping a design into the world did (ServerChunker::
// PlaceDesignAndSave): the bricks that landed, each with at least one cell
// written, and of them those that landed only in part, their other cells
// lying in chunks that are not loaded.
struct DesignStampCount {
    size_t placed = 0;
    size_t partly = 0;
};

// Bounds of one parse (see above).
struct LxfmlLimits {
    size_t textBytes;
    size_t bricks;
    size_t queryWork;
};

// The client limits, for designs that clients send.
constexpr size_t kMaxLxfmlTextBytes = 4u * 1024u * 1024u;
constexpr size_t kMaxLxfmlBricks = 20000;
constexpr size_t kMaxLxfmlQueryWork = 1024u * 1024u;
constexpr LxfmlLimits kClientLxfmlLimits{kMaxLxfmlTextBytes, kMaxLxfmlBricks, kMaxLxfmlQueryWork};
// The operator's limits, for "test.lxfml": 16 times the client's text and
// query work, 50 times its bricks. A real design of 30 000 bricks has about
// 5 MiB of XML and its queries about eight visits per brick.
constexpr LxfmlLimits kOperatorLxfmlLimits{64u * 1024u * 1024u, 1000000, 16u * 1024u * 1024u};

enum class LxfmlResult {
    Parsed,          // the document parsed (bricks may still have been left out)
    NotXml,          // pugixml refused the text
    TooLong,         // refused: the text is longer than the limits' textBytes
    TooManyBricks,   // refused: more than the limits' bricks Brick elements
    TooMuchWork,     // refused: the per-brick queries would exceed the limits' queryWork
    NoFile,          // LoadLxfmlFile: the file cannot be opened
};

// Parses the text and appends one brick per Brick element, each at its
// computed cell plus origin. Writes "Parsing XML... result: <pugixml's
// description>" to the debugger output whenever the text is handed to
// pugixml, and a line saying why when a design is refused. On anything but
// Parsed the design is unchanged. Safe on several threads at once (the
// catalogue and the colour table must be built).
LxfmlResult ParseLxfml(const std::string& text, const Vector3i& origin, LxfmlDesign& design,
                       const LxfmlLimits& limits = kClientLxfmlLimits);

// The numbers of a design's attributes, read from the start of [begin, end):
// white space, an optional sign, then decimal digits; reading stops at the
// first other character, and no digits give 0. Integers beyond 64 bits
// saturate. A number may have a decimal point and an exponent; it is
// rounded correctly, only decimal forms are read (no "inf", "nan" or
// hexadecimal), and a magnitude beyond the doubles gives an infinity, one
// below them 0.
int64_t ReadLxfmlInteger(const char* begin, const char* end);
double ReadLxfmlNumber(const char* begin, const char* end);

// Reads "test.lxfml" from the working folder and parses it as above, with
// the operator's limits; does nothing (and writes nothing) when the file
// cannot be opened, and gives NoFile. At most one byte more than the limits'
// textBytes is read, so an oversized file is refused.
LxfmlResult LoadLxfmlFile(LxfmlDesign& design, const Vector3i& origin);

}  // namespace Tav
