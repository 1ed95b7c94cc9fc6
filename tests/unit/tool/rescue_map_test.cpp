// The rescue map: ddrescue's mapfile text read and written, blocks marked and joined, malformed
// maps refused with the line at fault.
#include "tool/rescue_map.h"

#include <gtest/gtest.h>

using quevi::tool::RescueMap;
using Range = RescueMap::Range;

TEST(RescueMap, ReadsWhatDdrescueWritesAndWritesItBack) {
    std::string text = "# Mapfile. Created by GNU ddrescue version 1.27\n"
                       "# current_pos  current_status  current_pass\n"
                       "0x00100200     -               2\n"
                       "#      pos        size  status\n"
                       "0x00000000  0x00100000  +\n"
                       "0x00100000  0x00000200  -\n"
                       "0x00100200  0x00000400  *\n"
                       "\n"
                       "0x00100600  0x000FFA00  ?\n";
    std::string error;
    auto map = RescueMap::parse(text, error);
    ASSERT_TRUE(map) << error;
    EXPECT_EQ(map->size(), 0x200000u);
    EXPECT_EQ(map->currentPos, 0x100200u);
    EXPECT_EQ(map->currentStatus, '-');
    EXPECT_EQ(map->currentPass, 2u);
    EXPECT_EQ(map->ranges(), (std::vector<Range>{{0, 0x100000, '+'},
                                                 {0x100000, 0x200, '-'},
                                                 {0x100200, 0x400, '*'},
                                                 {0x100600, 0xFFA00, '?'}}));
    EXPECT_EQ(map->bytes('+'), 0x100000u);
    EXPECT_EQ(map->bytes('-'), 0x200u);
    std::string written = map->text("Mapfile. Created by quevi");
    EXPECT_EQ(written.substr(written.find("# current_pos")),
              text.substr(text.find("# current_pos"),
                          text.find("\n\n") - text.find("# current_pos") + 1) +
                  "0x00100600  0x000FFA00  ?\n");
    auto again = RescueMap::parse(written, error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->ranges(), map->ranges());
}

TEST(RescueMap, MarksSplitAndJoinBlocks) {
    RescueMap map(100 * 512);
    map.mark(10 * 512, 512, '-');
    map.mark(0, 10 * 512, '+');
    map.mark(11 * 512, 89 * 512, '+');
    EXPECT_EQ(map.ranges(),
              (std::vector<Range>{{0, 5120, '+'}, {5120, 512, '-'}, {5632, 45568, '+'}}));
    map.mark(10 * 512, 512, '+'); // healed on a second pass: one block again
    EXPECT_EQ(map.ranges(), (std::vector<Range>{{0, 51200, '+'}}));
    map.mark(99 * 512, 4096, '-'); // cut at the end
    map.mark(0, 512, '-');
    EXPECT_EQ(map.bytes('-'), 1024u);
    EXPECT_EQ(map.bytes('+'), 51200u - 1024u);
    EXPECT_EQ(map.ranges().size(), 3u);
}

// A map is user input: every malformed line is refused and named.
TEST(RescueMap, RefusesMalformedMapsNamingTheLine) {
    const std::string head = "# c\n0x0 ? 1\n";
    struct Case {
        std::string text;
        std::string error;
    };
    for (const Case& c : std::vector<Case>{
             {"", "empty"},
             {"# only comments\n", "empty"},
             {"0x0 ? 1\n", "no blocks"},
             {"0x0\n", "line 1: expected 'current_pos"},
             {"0x0 X 1\n0x0 0x200 +\n", "line 1"},
             {"0x0 ? 0\n0x0 0x200 +\n", "line 1"},
             {"0x0 ? 1 extra\n", "line 1"},
             {head + "0x0 0x200\n", "line 3: expected 'pos size status'"},
             {head + "0x0 0x200 x\n", "line 3"},
             {head + "0x0 0x200 ++\n", "line 3"},
             {head + "0x0 0x200 + 7\n", "line 3"},
             {head + "0x0 0x2G0 +\n", "line 3"},
             {head + "0x -0x200 +\n", "line 3"},
             {head + "0x0 0 +\n", "line 3: an empty block"},
             {head + "0x200 0x200 +\n", "line 3: the block starts at 512"},
             {head + "0x0 0x200 +\n0x0 0x200 -\n", "line 4: the block starts at 0"},
             {head + "0x0 0x200 +\n0x400 0x200 -\n", "line 4: the block starts at 1024"},
             {head + "0x0 0x8000000000000000 +\n", "line 3"},
             {head + "0x0 0x7FFFFFFFFFFFFFFF +\n0x7FFFFFFFFFFFFFFF 0x1 +\n",
              "line 4: a block past"},
             {head + "0x0 99999999999999999999 +\n", "line 3"},
             {head + std::string("0x0 0x200 +\0", 12) + "\n", "line 3: a NUL byte"},
         }) {
        std::string error;
        EXPECT_FALSE(RescueMap::parse(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " -> " << error;
    }
    std::string error;
    auto crlf = RescueMap::parse("0x0 + 1\r\n0x0 0x200 +\r\n  0x200\t0x200 -  \n", error);
    ASSERT_TRUE(crlf) << error;
    EXPECT_EQ(crlf->size(), 1024u);
}
