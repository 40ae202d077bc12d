#include <gtest/gtest.h>

#include <string>

#include "font.h"
#include "slate.h"

namespace {

constexpr int32_t kW = 320, kH = 240;

// Rows of the NV12 frame (luma, then chroma) where a and b differ.
std::vector<int32_t> changed_rows(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::vector<int32_t> rows;
  for (int32_t row = 0; row < kH * 3 / 2; ++row) {
    if (!std::equal(a.begin() + row * kW, a.begin() + (row + 1) * kW, b.begin() + row * kW)) {
      rows.push_back(row);
    }
  }
  return rows;
}

bool inside(int32_t row, const SlateLine& line) {
  int32_t luma = row < kH ? row : (row - kH) * 2;
  return luma >= (line.top & ~1) && luma <= line.top + line.height;
}

TEST(Slate, EachSecondRedrawsTheTimeLineAndNothingElse) {
  Slate slate;
  slate_draw(&slate, kW, kH, "Stage Left", nullptr);
  slate_update(&slate, "Camera not reachable", 59);
  std::vector<uint8_t> before = slate.frame;
  slate_update(&slate, "Camera not reachable", 60);
  std::vector<int32_t> rows = changed_rows(before, slate.frame);
  ASSERT_FALSE(rows.empty());
  for (int32_t row : rows) EXPECT_TRUE(inside(row, slate.away)) << row;
  // Back to the same text: the very bytes of the first drawing, nothing left over.
  slate_update(&slate, "Camera not reachable", 59);
  EXPECT_EQ(slate.frame, before);
}

TEST(Slate, AReasonChangeRedrawsItsOwnLine) {
  Slate slate;
  slate_draw(&slate, kW, kH, "Stage Left", nullptr);
  slate_update(&slate, "No frames", 3);
  std::vector<uint8_t> before = slate.frame;
  slate_update(&slate, "Camera not reachable", 3);
  for (int32_t row : changed_rows(before, slate.frame)) {
    EXPECT_TRUE(inside(row, slate.reason)) << row;
  }
}

TEST(Slate, ABackgroundPictureKeepsItsAspect) {
  SlateImage image;
  image.width = 800;
  image.height = 600;
  image.rgba.assign(800 * 600 * 4, 255);
  SlateImage fitted = scale_to_fit(image, 1920, 1080);
  EXPECT_EQ(fitted.width, 1440);
  EXPECT_EQ(fitted.height, 1080);
  fitted = scale_to_fit(image, 64, 1000);
  EXPECT_EQ(fitted.width, 64);
  EXPECT_EQ(fitted.height, 48);
}

TEST(Font, LongNamesAreCutWithAnEllipsisBetweenWholeCharacters) {
  std::string name;
  for (int i = 0; i < 100; ++i) name += "\xC3\xA9";  // é
  std::string cut = fit_text(name, 20, 200);
  EXPECT_LE(text_width(cut, 20), 200);
  EXPECT_EQ(cut.substr(cut.size() - 3), "\xE2\x80\xA6");
  for (uint32_t c : utf8_codepoints(cut)) EXPECT_NE(c, 0xFFFDu);
  EXPECT_EQ(fit_text("Door", 20, 200), "Door");
}

TEST(Font, BytesThatAreNoCharacterShowAsReplacements) {
  std::vector<uint32_t> expected = {'a', 0xFFFD, 0xFFFD, 'b', 0x20AC, 0xFFFD, 0xFFFD};
  EXPECT_EQ(utf8_codepoints("a\xFF\xC3" "b\xE2\x82\xAC\xE2\x82"), expected);
}

TEST(Slate, TinyCardsAndNamesLongerThanTheCardStayInside) {
  Slate slate;
  slate_draw(&slate, 16, 8, std::string(600, 'W'), nullptr);
  slate_update(&slate, "Stream refused", 360000);
  EXPECT_EQ(slate.frame.size(), 16u * 8 * 3 / 2);
}

}  // namespace
