// The table of all states of the machine, made from the one list
// (states.def): number, name, handler.
#include "driver.h"

#include <algorithm>
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
// FindState searches by halves: the list must stand in ascending order.
static_assert(Ascending(), "states.def must list the states in ascending order of number");

}  // namespace

const StateEntry *FindState(int number) {
  auto it = std::lower_bound(std::begin(States), std::end(States), number,
                             [](const StateEntry &e, int n) { return e.Number < n; });
  return it != std::end(States) && it->Number == number ? it : nullptr;
}
