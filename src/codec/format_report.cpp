#include "codec/format_report.hpp"

#include <cstdio>
#include <string>

namespace kestrune {

void report_input_format_mismatch(const char* component, const AudioFormat& expected,
                                  const AudioFormat& actual) {
  std::string text = component;
  text += " input AudioFormat mismatch:\n  input_output_format_diffs: ";
  text += audio_format_diff(expected, actual);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace kestrune
