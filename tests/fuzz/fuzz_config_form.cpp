// The "K4 Config" page's number parsing and record <-> controls mapping against any
// input: ParseNumber agrees with a plain reading of the digits, and a record shown on
// the controls and read back is stable (showing and reading it again changes nothing)
// and keeps every field the page can show.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/config_form.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}

// Leading blanks and tabs, then digits; nothing readable, or more than 32 bits: 0.
uint32_t Reference(const std::string& text) {
  size_t at = text.find_first_not_of(" \t");
  if (at == std::string::npos) return 0;
  const size_t end = text.find_first_not_of("0123456789", at);
  std::string digits = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
  if (digits.empty()) return 0;
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.size() > 10) return 0;
  const unsigned long long value = digits.empty() ? 0 : std::stoull(digits);
  return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Check(ParseNumber(text) == Reference(text));
  Check(ZvlIdPlusOneText(text) == std::to_string(uint64_t{Reference(text)} + 1));

  if (size < 8) return 0;
  const UnitConfig config = ConfigFromBytes(data);
  const int current = static_cast<int>(data[7] % (kBaudEntryCount + 1)) - 1;
  const ConfigControls shown = ShowConfig(config, current);
  const UnitConfig read = ReadControls(shown);
  Check(ReadControls(ShowConfig(read, shown.baudEntry)) == read);
  // Every bit the page has a control for survives; bit 6 of the IO and ADCs IDs and
  // bit 7 of the options are written 0.
  Check(read.ioId == (config.ioId & 0xBF));
  Check(read.zvlId == config.zvlId);
  Check(read.adcsId == (config.adcsId & 0xBF));
  Check(read.options == (config.options & 0x7F));
  Check(read.preamble == config.preamble && read.postamble == config.postamble);
  return 0;
}
