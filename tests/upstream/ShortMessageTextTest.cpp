// The text of a short message as MO number look-up reads it.
#include <gtest/gtest.h>

#include "upstream/ShortMessageText.h"

namespace quorvex {

TEST(ShortMessageTextTest, Ucs2BecomesUtf8UdhIsSkippedAndOtherCodingsKeptRaw) {
  // "Grüße €" and a character outside the basic plane (U+1F600).
  const std::vector<uint8_t> ucs2 = {0x00, 'G',  0x00, 'r',  0x00, 0xFC, 0x00, 0xDF, 0x00,
                                     'e',  0x00, ' ',  0x20, 0xAC, 0xD8, 0x3D, 0xDE, 0x00};
  EXPECT_EQ(shortMessageText(ucs2.data(), ucs2.size(), 0, 8), "Gr\xC3\xBC\xC3\x9F"
                                                              "e \xE2\x82\xAC\xF0\x9F\x98\x80");
  // Broken UCS-2 gives replacement characters.
  const std::vector<uint8_t> loneSurrogate = {0xD8, 0x3D, 0x00, 'A', 0x00};
  EXPECT_EQ(ucs2ToUtf8(loneSurrogate.data(), loneSurrogate.size()), "\xEF\xBF\xBD"
                                                                    "A\xEF\xBF\xBD");
  const std::vector<uint8_t> udh = {0x05, 0x00, 0x03, 0x01, 0x02, 0x01, 'S', 'T', 'O', 'P'};
  EXPECT_EQ(shortMessageText(udh.data(), udh.size(), 0x40, 0), "STOP");
  EXPECT_EQ(shortMessageText(udh.data(), 6, 0x40, 0), "");
  const std::vector<uint8_t> latin = {'c', 0xE9};
  EXPECT_EQ(shortMessageText(latin.data(), latin.size(), 0, 3), "c\xE9");
  EXPECT_EQ(shortMessageText(nullptr, 0, 0, 8), "");
}

} // namespace quorvex
