// The shell's parts that need Windows but not the sheet or the pages: the centring of
// dialog templates. (The hand-off of received frames, which reaches the "ZVL comms"
// page, is tested with that page: tests/win/comms_page_test.cpp.)
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "app/dialog_template.h"

namespace {

// ---- centring ---------------------------------------------------------------------

struct TemplateCase {
  const char* name;
  bool extended;
  DWORD style;
};

TEST(DialogTemplate, CentreStyleIsSetWhereEachFormKeepsItsStyle) {
  const TemplateCase cases[] = {
      {"standard", false, WS_POPUP | WS_CAPTION | DS_SETFONT | DS_MODALFRAME},
      {"standard, already centred", false, WS_POPUP | DS_CENTER},
      {"extended", true, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT},
      // Extended template whose help ID and extended style look like a style: only
      // the style at byte 12 may change.
      {"extended, busy header", true, WS_CHILD},
  };
  for (const TemplateCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t bytes[32];
    std::memset(bytes, 0xA5, sizeof bytes);
    size_t styleOffset = 0;
    if (c.extended) {
      const WORD version = 1, signature = 0xFFFF;
      std::memcpy(bytes, &version, 2);
      std::memcpy(bytes + 2, &signature, 2);
      styleOffset = 12;
    }
    std::memcpy(bytes + styleOffset, &c.style, 4);
    uint8_t expected[32];
    std::memcpy(expected, bytes, sizeof bytes);
    const DWORD centred = c.style | DS_CENTER;
    std::memcpy(expected + styleOffset, &centred, 4);

    SetCentreStyle(bytes);
    EXPECT_EQ(0, std::memcmp(expected, bytes, sizeof bytes));
  }
}

}  // namespace
