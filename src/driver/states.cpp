// The table of all states of the machine, made from the one list
// (states.def): number, name, handler.
#include "driver.h"

#include <cstdint>
#include <iterator>

namespace {

constexpr StateEntry States[] = {
#define KEL_STATE(number, name, handler) {State::name, #handler, handler},
#include "states.def"
#undef KEL_STATE
};

constexpr bool Ascending() {
  for (size_t i = 1; i < std::size(States); i++)
    if (States[i - 1].Number >= States[i].Number) return false;
  return true;
}
static_assert(Ascending(), "states.def must list the states in ascending order of number");

// Every step looks its state up (a line of a body is a step): by its
// number straight into this index, made when compiling.
constexpr int IndexSize = States[std::size(States) - 1].Number + 1;
static_assert(States[0].Number >= 0 && IndexSize <= 1024, "state numbers must stay small for the index");

struct StateIndex {
  int16_t Of[IndexSize];
};

constexpr StateIndex MakeIndex() {
  StateIndex index{};
  for (int n = 0; n < IndexSize; n++) index.Of[n] = -1;
  for (size_t i = 0; i < std::size(States); i++) index.Of[States[i].Number] = static_cast<int16_t>(i);
  return index;
}

constexpr StateIndex Index = MakeIndex();

}  // namespace

const StateEntry *FindState(int number) {
  if (number < 0 || number >= IndexSize || Index.Of[number] < 0) return nullptr;
  return &States[Index.Of[number]];
}
