// The state numbers by name, made from the one list of states (states.def).
// The numbers are the machine's own: they appear in the trace log and
// kelDriver results.
#pragma once

#include <cstdint>

namespace State {
enum Number : int32_t {
  Complete = 0,  // the sequence is done; the channel is idle
#define KEL_STATE(number, name, handler) name = number,
#include "states.def"
#undef KEL_STATE
};
}  // namespace State
