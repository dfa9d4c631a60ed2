// A small test runner for the Windows programs: cases register themselves,
// checks record failures and go on, and the run ends with the line
// "N passed, N failed". With arguments only the cases named run.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace wine_check {

struct Case {
  const char *Name;
  void (*Body)();
};

inline std::vector<Case> &Cases() {
  static std::vector<Case> cases;
  return cases;
}

inline int &FailedChecks() {
  static int failed = 0;
  return failed;
}

struct Register {
  Register(const char *name, void (*body)()) { Cases().push_back({name, body}); }
};

inline std::string Show(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n\n";
    else if (c < 32 || c > 126) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else out += static_cast<char>(c);
  }
  return out;
}
inline std::string Show(const char *text) { return text ? Show(std::string(text)) : "(null)"; }
inline std::string Show(long long value) { return std::to_string(value); }
inline std::string Show(int value) { return std::to_string(value); }
inline std::string Show(unsigned value) { return std::to_string(value); }
inline std::string Show(unsigned long value) { return std::to_string(value); }
inline std::string Show(unsigned long long value) { return std::to_string(value); }  // size_t and uintptr_t on 64-bit Windows
inline std::string Show(bool value) { return value ? "true" : "false"; }

inline void Fail(const char *file, int line, const std::string &what) {
  ++FailedChecks();
  fprintf(stdout, "%s:%d: failure\n%s\n", file, line, what.c_str());
  fflush(stdout);
}

template <typename A, typename B>
bool Equal(const A &a, const B &b, const char *file, int line, const char *ea, const char *eb) {
  if (a == b) return true;
  Fail(file, line, std::string(ea) + " == " + eb + "\n  left:  " + Show(a) + "\n  right: " + Show(b));
  return false;
}

inline int RunAll(int argc, char **argv) {
  int passed = 0, failed = 0;
  for (const Case &c : Cases()) {
    bool wanted = argc < 2;
    for (int i = 1; i < argc; i++) wanted = wanted || std::string(argv[i]) == c.Name;
    if (!wanted) continue;
    printf("[ RUN      ] %s\n", c.Name);
    fflush(stdout);
    const int before = FailedChecks();
    c.Body();
    const bool ok = FailedChecks() == before;
    printf("%s %s\n", ok ? "[       OK ]" : "[  FAILED  ]", c.Name);
    fflush(stdout);
    (ok ? passed : failed)++;
  }
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace wine_check

#define WINE_TEST(name)                                                 \
  static void name();                                                   \
  static wine_check::Register name##_registered(#name, name);           \
  static void name()

#define CHECK(cond) \
  ((cond) ? true : (wine_check::Fail(__FILE__, __LINE__, "CHECK(" #cond ")"), false))
#define CHECK_EQ(a, b) wine_check::Equal((a), (b), __FILE__, __LINE__, #a, #b)
// Ends the case when the check fails.
#define REQUIRE_EQ(a, b) \
  do {                   \
    if (!CHECK_EQ(a, b)) return; \
  } while (0)
