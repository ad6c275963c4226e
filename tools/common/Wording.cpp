#include "common/Wording.hpp"

#include <cstdio>

namespace cli {

std::string counted(std::uint64_t count, std::string_view noun, std::string_view plural) {
  std::string text = std::to_string(count) + ' ';
  if (count == 1) return text.append(noun);
  if (!plural.empty()) return text.append(plural);
  return text.append(noun) + 's';
}

namespace {

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

std::string boardVersions(std::uint32_t dsp, std::uint32_t firmware, std::uint32_t bios) {
  // The same reading as the receiver's check, whose message shows these
  // decoded values.
  const std::uint32_t dspRead = dsp % 1000;
  const std::uint32_t firmwareRead = (firmware & 0x7F) + 600;
  std::string text = "DSP " + std::to_string(dspRead);
  if (dspRead != dsp) text += " (raw " + std::to_string(dsp) + ")";
  text += ", firmware " + std::to_string(firmwareRead);
  if (firmwareRead != firmware) text += " (raw " + hex(firmware) + ")";
  return text + ", BIOS " + hex(bios);
}

}  // namespace cli
