// Checks the generated window icon: that the XPM data keeps the layout the
// generator promises, and that FLTK turns it into the RGBA picture we expect.

#include "ui/icon_xpm.h"

#include <FL/Fl.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Pixmap.H>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int icon_size = 128;
constexpr int key_chars = 92;

// Characters the generator hands out as key digits, in order.
const std::string key_sequence =
    " .+@#$%&*=-;>,')!~{]^/(_:<[}|1234567890"
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ`";

std::string ExpectedKey(int i) {
  return std::string{key_sequence[i % key_chars], key_sequence[i / key_chars]};
}

struct Icon {
  bool values_ok = false;
  int width = 0, height = 0, colours = 0, chars_per_pixel = 0;
  std::string values_line;
  std::vector<std::string> colour_lines;
  std::vector<std::string> rows;
};

// Splits icon_xpm once; rows are only taken when the values line is sane,
// so a broken header cannot make the tests read past the array.
const Icon& parsed_icon() {
  static const Icon icon = [] {
    Icon result;
    result.values_line = icon_xpm[0];
    static const std::regex values(R"(^(\d+) (\d+) (\d+) (\d+)$)");
    std::smatch m;
    if (!std::regex_match(result.values_line, m, values)) return result;
    result.width = std::stoi(m[1]);
    result.height = std::stoi(m[2]);
    result.colours = std::stoi(m[3]);
    result.chars_per_pixel = std::stoi(m[4]);
    result.values_ok = result.width == icon_size && result.height == icon_size &&
                       result.chars_per_pixel == 2 && result.colours >= 1 &&
                       result.colours <= key_chars * key_chars;
    if (!result.values_ok) return result;
    for (int i = 0; i < result.colours; ++i) result.colour_lines.emplace_back(icon_xpm[1 + i]);
    for (int y = 0; y < icon_size; ++y) result.rows.emplace_back(icon_xpm[1 + result.colours + y]);
    return result;
  }();
  return icon;
}

// Colour value of each key, as 0xRRGGBB, or -1 for "None".
std::map<std::string, long> key_values(const Icon& icon) {
  std::map<std::string, long> values;
  for (const std::string& line : icon.colour_lines) {
    const std::string colour = line.substr(5);
    values[line.substr(0, 2)] = colour == "None" ? -1 : std::stol(colour.substr(1), nullptr, 16);
  }
  return values;
}

TEST(IconXpm, ValuesLineDeclaresSquare128IconWithTwoCharKeysAndNoExtras) {
  const Icon& icon = parsed_icon();
  EXPECT_TRUE(icon.values_ok) << "values line: \"" << icon.values_line << '"';
  EXPECT_EQ(icon.values_line, "128 128 " + std::to_string(icon.colours) + " 2");
}

TEST(IconXpm, ColourLinesAreKeyTabCBlankColourWithKeysInSequence) {
  const Icon& icon = parsed_icon();
  ASSERT_TRUE(icon.values_ok);
  static const std::regex opaque("^#[0-9A-F]{6}$");
  for (int i = 0; i < icon.colours; ++i) {
    const std::string& line = icon.colour_lines[i];
    SCOPED_TRACE("colour entry " + std::to_string(i) + ": \"" + line + '"');
    ASSERT_GE(line.size(), 6u);
    EXPECT_EQ(line.substr(0, 2), ExpectedKey(i));
    EXPECT_EQ(line.substr(2, 3), "\tc ");
    const std::string colour = line.substr(5);
    if (i == 0)
      EXPECT_EQ(colour, "None");
    else
      EXPECT_TRUE(std::regex_match(colour, opaque));
  }
}

TEST(IconXpm, TransparentEntryComesFirstWithBlankKey) {
  const Icon& icon = parsed_icon();
  ASSERT_TRUE(icon.values_ok);
  EXPECT_EQ(icon.colour_lines[0], "  \tc None");
}

TEST(IconXpm, OpaqueColoursAreAllDistinct) {
  const Icon& icon = parsed_icon();
  ASSERT_TRUE(icon.values_ok);
  std::set<std::string> seen;
  for (int i = 1; i < icon.colours; ++i) {
    const std::string colour = icon.colour_lines[i].substr(5);
    EXPECT_TRUE(seen.insert(colour).second) << "repeated colour " << colour;
  }
}

TEST(IconXpm, RowsHave128PixelsAndUseExactlyThePaletteKeys) {
  const Icon& icon = parsed_icon();
  ASSERT_TRUE(icon.values_ok);
  const std::map<std::string, long> values = key_values(icon);
  std::set<std::string> used;
  for (int y = 0; y < icon_size; ++y) {
    const std::string& row = icon.rows[y];
    ASSERT_EQ(row.size(), 2u * icon_size) << "row " << y;
    for (int x = 0; x < icon_size; ++x) {
      const std::string key = row.substr(2 * x, 2);
      EXPECT_EQ(values.count(key), 1u) << "unknown key \"" << key << "\" at " << x << "," << y;
      used.insert(key);
    }
  }
  // The declared count is the count of colours really in the picture.
  EXPECT_EQ(used.size(), static_cast<size_t>(icon.colours));
}

TEST(IconXpm, PictureIsSurroundedByTransparentMargin) {
  const Icon& icon = parsed_icon();
  ASSERT_TRUE(icon.values_ok);
  const std::string blank(2 * icon_size, ' ');
  EXPECT_EQ(icon.rows.front(), blank);
  EXPECT_EQ(icon.rows.back(), blank);
  for (int y = 0; y < icon_size; ++y) {
    EXPECT_EQ(icon.rows[y].substr(0, 2), "  ") << "left edge, row " << y;
    EXPECT_EQ(icon.rows[y].substr(2 * icon_size - 2), "  ") << "right edge, row " << y;
  }
  EXPECT_NE(icon.rows[icon_size / 2].substr(icon_size, 2), "  ") << "centre is empty";
}

TEST(IconXpmFltk, PixmapConvertsToRgbaOpaqueExceptOnNonePixels) {
  const Icon& icon = parsed_icon();
  ASSERT_TRUE(icon.values_ok);
  Fl_Pixmap pixmap(icon_xpm);
  ASSERT_EQ(pixmap.w(), icon_size);
  ASSERT_EQ(pixmap.h(), icon_size);
  Fl_RGB_Image rgb(&pixmap, FL_GRAY);
  ASSERT_EQ(rgb.w(), icon_size);
  ASSERT_EQ(rgb.h(), icon_size);
  ASSERT_EQ(rgb.d(), 4);
  ASSERT_NE(rgb.data(), nullptr);

  const std::map<std::string, long> values = key_values(icon);
  const auto* bytes = reinterpret_cast<const unsigned char*>(rgb.data()[0]);
  const int stride = rgb.ld() ? rgb.ld() : icon_size * 4;
  int mismatches = 0;
  for (int y = 0; y < icon_size; ++y) {
    for (int x = 0; x < icon_size; ++x) {
      const unsigned char* p = bytes + y * stride + x * 4;
      const auto it = values.find(icon.rows[y].substr(2 * x, 2));
      ASSERT_NE(it, values.end());
      const long v = it->second;
      const bool ok = v < 0 ? p[3] == 0
                            : p[3] == 255 && p[0] == ((v >> 16) & 0xFF) &&
                                  p[1] == ((v >> 8) & 0xFF) && p[2] == (v & 0xFF);
      if (!ok && ++mismatches <= 10)
        ADD_FAILURE() << "pixel " << x << "," << y << " is RGBA " << int(p[0]) << "," << int(p[1])
                      << "," << int(p[2]) << "," << int(p[3]) << ", palette value " << v;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
