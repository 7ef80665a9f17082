#include "app/dialog_template.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

void SetCentreStyle(void* dialogTemplate) {
  auto* bytes = static_cast<uint8_t*>(dialogTemplate);
  uint16_t signature;
  std::memcpy(&signature, bytes + 2, sizeof signature);
  const size_t styleOffset = signature == 0xFFFF ? 12 : 0;
  // Templates from resources need not be aligned for a DWORD, so copy, do not cast.
  DWORD style;
  std::memcpy(&style, bytes + styleOffset, sizeof style);
  style |= DS_CENTER;
  std::memcpy(bytes + styleOffset, &style, sizeof style);
}
