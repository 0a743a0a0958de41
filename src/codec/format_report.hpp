// The one diagnostic a component that locks its input format writes before
// refusing a frame of another format.
#pragma once

#include "common/audio/audio.hpp"

namespace kestrune {

// Writes "<component> input AudioFormat mismatch:\n  input_output_format_diffs:
// <difference>\n" to standard error in one write, so that reports of
// concurrent components do not interleave mid-line.
void report_input_format_mismatch(const char* component, const AudioFormat& expected,
                                  const AudioFormat& actual);

}  // namespace kestrune
